#pragma once
// A drop-down list as the program sees it: its entries, the selected one (-1:
// none) and its edit text. The window shows it; the command line selects in it.
#include <QString>
#include <QStringList>

struct ComboState {
    QStringList items;
    int index = -1;
    QString text;

    // The text of the selected entry; empty when none is selected.
    QString selected() const {
        return index >= 0 && index < items.size() ? items[index] : QString();
    }
    void clear() {
        items.clear();
        index = -1;
        text.clear();
    }
    void select(int i) {
        index = (i >= 0 && i < items.size()) ? i : -1;
        if (index >= 0)
            text = items[index];
    }
    // Selects the first entry equal to name ignoring case; none when there is no such entry.
    void selectIgnoringCase(const QString& name) {
        index = -1;
        for (int i = 0; i < items.size(); ++i) {
            if (items[i].compare(name, Qt::CaseInsensitive) == 0) {
                select(i);
                return;
            }
        }
    }
};
