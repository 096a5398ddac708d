#pragma once
// The log list `logList`: the program's progress and protocol channel. The window
// mirrors it through the signals; a headless run prints each line as it comes.
#include <QObject>
#include <QStringList>

class LogList : public QObject {
    Q_OBJECT
  public:
    using QObject::QObject;

    void append(const QString& line, bool select = false);
    void clear();
    const QStringList& lines() const { return items; }
    int count() const { return items.size(); }
    int selected() const { return selectedIndex; }
    // Saves every line, each ended by CR LF, no byte-order mark, replacing an
    // existing file; throws FitError naming the file when it cannot be written.
    void save(const QString& fileName) const;

    // Headless runs: every appended line also goes to standard output.
    bool echoToStdout = false;

  signals:
    void lineAppended(const QString& line, bool select);
    void cleared();

  private:
    QStringList items;
    int selectedIndex = -1;
};
