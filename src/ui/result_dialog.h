#pragma once
// The result dialog "FINISH": the initial and the optimised value of every
// parameter side by side, with why the search ended and its criterion; the
// person accepts the optimised values (they are written into the model's
// tables) or discards them (PARM_INT and the tables stay as before the run).
// After a stopped search it says so and offers the best completed run.
#include <QDialog>
#include <functional>

class Session;
class QLabel;
class QPushButton;
class QSqlQueryModel;
class QTableView;

class ResultDialog : public QDialog {
    Q_OBJECT
  public:
    explicit ResultDialog(Session& session, QWidget* parent = nullptr);

    // Reads "select * from parm_int" again (the dialog does so whenever it is shown).
    void reload();

    QTableView* grid() const { return resultGrid; }
    QSqlQueryModel* model() const { return parameterQuery; }
    QLabel* outcome() const { return outcomeLabel; }

    // How an error of the accept button reaches the person; a message box unless set.
    std::function<void(const QString&)> errorPresenter;

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void onAccept();
    void onDiscard();
    void showError(const QString& message);

    Session& session;
    QLabel* explanationLabel = nullptr;
    QLabel* outcomeLabel = nullptr; // why the search ended, and its criterion
    QTableView* resultGrid = nullptr;
    QPushButton* acceptButton = nullptr;
    QPushButton* discardButton = nullptr;
    QSqlQueryModel* parameterQuery = nullptr;
};
