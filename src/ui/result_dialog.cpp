#include "ui/result_dialog.h"

#include "app/session.h"
#include "base/fit_error.h"
#include "base/number_format.h"
#include "ui/number_delegate.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QSqlRecord>
#include <QTableView>
#include <QVBoxLayout>

TForm1::TForm1(Session& s, QWidget* parent) : QDialog(parent), session(s) {
    setObjectName(QStringLiteral("TForm1"));
    setWindowTitle(QStringLiteral("FINISH"));
    setModal(true);

    Label1 =
        new QLabel(QStringLiteral("IVAL: inital values;   AVAL: values after optimisation"), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    outcomeLabel = new QLabel(this);
    outcomeLabel->setObjectName(QStringLiteral("outcomeLabel"));
    outcomeLabel->setWordWrap(true);

    prmqry = new QSqlQueryModel(this);
    prmqry->setObjectName(QStringLiteral("prmqry"));
    DBGrid1 = new QTableView(this);
    DBGrid1->setObjectName(QStringLiteral("DBGrid1"));
    DBGrid1->setModel(prmqry);
    DBGrid1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGrid1->setItemDelegate(new NumberDelegate(DBGrid1, nullptr));
    DBGrid1->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGrid1->verticalHeader()->setDefaultSectionSize(DBGrid1->fontMetrics().height() + 6);

    Button1 = new QPushButton(QStringLiteral("make the result values usable  "), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    // Declining puts PARM_INT and the model's tables back as they were before
    // the run (not at IVAL): the caption says what happens.
    Button2 = new QPushButton(QStringLiteral("discard: keep the values from before the run"), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    // Enter must not accept the values by accident.
    Button1->setAutoDefault(false);
    Button2->setAutoDefault(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 8, 24, 16);
    layout->addWidget(Label1);
    layout->addWidget(outcomeLabel);
    layout->addWidget(DBGrid1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(Button1);
    buttons->addStretch(1);
    buttons->addWidget(Button2);
    layout->addSpacing(12);
    layout->addLayout(buttons);

    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    resize(700, 380); // the names beside the values
}

void TForm1::showEvent(QShowEvent* event) {
    reload();
    QDialog::showEvent(event);
}

namespace {

QString outcomeText(const OfferedResult& r) {
    if (!r.haveResult)
        return QString();
    const QString criterion =
        r.haveCriterion ? QStringLiteral("%1 %2").arg(r.criterionName, formatGeneral(r.criterion))
                        : QString();
    if (r.stopped)
        return QStringLiteral("The calibration was stopped before the search ended: AVAL holds "
                              "the values of its best completed model run (%1).")
            .arg(criterion);
    QString text = QStringLiteral("The search ended: %1.").arg(r.reason);
    if (r.haveCriterion)
        text += QStringLiteral(" Best completed model run: %1. AVAL is the mean of the vertices "
                               "of the final simplex.")
                    .arg(criterion);
    return text;
}

} // namespace

void TForm1::reload() {
    const OfferedResult& offered = session.offered;
    setWindowTitle(offered.haveResult && offered.stopped ? QStringLiteral("calibration stopped")
                                                         : QStringLiteral("FINISH"));
    outcomeLabel->setText(outcomeText(offered));
    outcomeLabel->setVisible(offered.haveResult);
    prmqry->clear();
    if (!session.db.isOpen())
        return;
    QSqlQuery q(session.db.handle());
    if (!q.exec(QStringLiteral("select * from parm_int order by rowid"))) {
        showError(q.lastError().text());
        return;
    }
    prmqry->setQuery(std::move(q));
    // Read every row now: no statement stays open on the database.
    while (prmqry->canFetchMore())
        prmqry->fetchMore();
    const QSqlRecord rec = prmqry->record();
    const int ivalCol = rec.indexOf(QStringLiteral("IVAL"));
    const int avalCol = rec.indexOf(QStringLiteral("AVAL"));
    // The values with the names the person knows them by.
    const int pnameCol = rec.indexOf(QStringLiteral("PNAME"));
    const int aliasCol = rec.indexOf(QStringLiteral("ALIAS"));
    for (int c = 0; c < rec.count(); ++c)
        DBGrid1->setColumnHidden(c, c != ivalCol && c != avalCol && c != pnameCol && c != aliasCol);
    if (ivalCol >= 0)
        DBGrid1->setColumnWidth(ivalCol, 189);
    if (avalCol >= 0)
        DBGrid1->setColumnWidth(avalCol, 248);
}

// Accept: write the optimised values into the model's tables. If that fails
// the dialog stays open, so the person can still decline (and get the backup
// restored).
void TForm1::Button1Click() {
    try {
        session.acceptResult();
    } catch (const FitError& e) {
        showError(e.message());
        return;
    } catch (const std::exception& e) {
        showError(QString::fromLocal8Bit(e.what()));
        return;
    }
    accept();
}

void TForm1::Button2Click() {
    reject();
}

void TForm1::showError(const QString& message) {
    if (errorPresenter)
        errorPresenter(message);
    else
        QMessageBox::critical(this, windowTitle(), message);
}
