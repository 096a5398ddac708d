#pragma once
// The "Parameter selection" dialog: a thin face over ParamSelection. It lists the
// database's tables, shows the fields and rows of the opened one, and appends the
// ticked fields to PARM_INT. Modeless, a window of its own beside the main window.
#include "app/session.h"
#include "paramdb/param_selection.h"

#include <QDialog>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTableView;

class ParameterSelectionDialog : public QDialog {
    Q_OBJECT
  public:
    explicit ParameterSelectionDialog(Session& session, QWidget* parent = nullptr);

    Session& session() const { return s; }
    ParamSelection& selection() { return sel; }

    // How a failure of a press or a double-click reaches the person; a message
    // box unless set.
    std::function<void(const QString&)> errorPresenter;

    // Each activation lists the database's tables again.
    void onActivated();
    void onTableDoubleClicked();
    void onAdd();

  protected:
    bool event(QEvent* e) override;

  private:
    // The steps of the constructor: the widgets, their layout, their signals.
    void makeWidgets();
    void layOut();
    void connectWidgets();
    void showFields();
    void showDefaults();
    void reportError(const QString& message);

    Session& s;
    ParamSelection sel;

    QLabel* tablesLabel = nullptr;
    QListWidget* tableList = nullptr;
    QLabel* parametersLabel = nullptr;
    QListWidget* parameterList = nullptr;
    QLabel* indexFieldLabel = nullptr;
    QComboBox* indexFieldCombo = nullptr;
    QLabel* recordsLabel = nullptr;
    QTableView* recordGrid = nullptr;
    QCheckBox* closeAfterAddCheck = nullptr;
    QPushButton* addButton = nullptr;
    QLabel* hintLabel = nullptr;     // how the dialog is used
    QLabel* defaultsLabel = nullptr; // where the proposed values come from
    bool filling = false;            // widgets are being filled from the selection's state
};

// "add parameter record": shows the session's parameter selection dialog without
// blocking, creating it on first use, and returns at once.
void showParameterSelection(Session& session, QWidget* parent);
