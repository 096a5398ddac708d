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

ResultDialog::ResultDialog(Session& s, QWidget* parent) : QDialog(parent), session(s) {
    setObjectName(QStringLiteral("ResultDialog"));
    setWindowTitle(QStringLiteral("FINISH"));
    setModal(true);

    explanationLabel =
        new QLabel(QStringLiteral("IVAL: inital values;   AVAL: values after optimisation"), this);
    explanationLabel->setObjectName(QStringLiteral("explanationLabel"));
    outcomeLabel = new QLabel(this);
    outcomeLabel->setObjectName(QStringLiteral("outcomeLabel"));
    outcomeLabel->setWordWrap(true);

    parameterQuery = new QSqlQueryModel(this);
    parameterQuery->setObjectName(QStringLiteral("parameterQuery"));
    resultGrid = new QTableView(this);
    resultGrid->setObjectName(QStringLiteral("resultGrid"));
    resultGrid->setModel(parameterQuery);
    resultGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
    resultGrid->setItemDelegate(new NumberDelegate(resultGrid, nullptr));
    resultGrid->setSelectionBehavior(QAbstractItemView::SelectRows);
    resultGrid->verticalHeader()->setDefaultSectionSize(resultGrid->fontMetrics().height() + 6);

    acceptButton = new QPushButton(QStringLiteral("make the result values usable  "), this);
    acceptButton->setObjectName(QStringLiteral("acceptButton"));
    // Declining puts PARM_INT and the model's tables back as they were before
    // the run (not at IVAL): the caption says what happens.
    discardButton =
        new QPushButton(QStringLiteral("discard: keep the values from before the run"), this);
    discardButton->setObjectName(QStringLiteral("discardButton"));
    // Enter must not accept the values by accident.
    acceptButton->setAutoDefault(false);
    discardButton->setAutoDefault(false);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 8, 24, 16);
    layout->addWidget(explanationLabel);
    layout->addWidget(outcomeLabel);
    layout->addWidget(resultGrid, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(acceptButton);
    buttons->addStretch(1);
    buttons->addWidget(discardButton);
    layout->addSpacing(12);
    layout->addLayout(buttons);

    connect(acceptButton, &QPushButton::clicked, this, &ResultDialog::onAccept);
    connect(discardButton, &QPushButton::clicked, this, &ResultDialog::onDiscard);
    resize(700, 380); // the names beside the values
}

void ResultDialog::showEvent(QShowEvent* event) {
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
    if (r.haveCriterion && r.leastSquares)
        text += QStringLiteral(" Best completed model run: %1. AVAL is the last point the "
                               "least-squares search accepted.")
                    .arg(criterion);
    else if (r.haveCriterion)
        text += QStringLiteral(" Best completed model run: %1. AVAL is the mean of the vertices "
                               "of the final simplex.")
                    .arg(criterion);
    return text;
}

} // namespace

void ResultDialog::reload() {
    const OfferedResult& offered = session.offeredResult();
    setWindowTitle(offered.haveResult && offered.stopped ? QStringLiteral("calibration stopped")
                                                         : QStringLiteral("FINISH"));
    outcomeLabel->setText(outcomeText(offered));
    outcomeLabel->setVisible(offered.haveResult);
    parameterQuery->clear();
    if (!session.database().isOpen())
        return;
    QSqlQuery q(session.database().handle());
    if (!q.exec(QStringLiteral("select * from parm_int order by rowid"))) {
        showError(q.lastError().text());
        return;
    }
    parameterQuery->setQuery(std::move(q));
    // Read every row now: no statement stays open on the database.
    while (parameterQuery->canFetchMore())
        parameterQuery->fetchMore();
    const QSqlRecord rec = parameterQuery->record();
    const int ivalCol = rec.indexOf(QStringLiteral("IVAL"));
    const int avalCol = rec.indexOf(QStringLiteral("AVAL"));
    // The values with the names the person knows them by.
    const int pnameCol = rec.indexOf(QStringLiteral("PNAME"));
    const int aliasCol = rec.indexOf(QStringLiteral("ALIAS"));
    for (int c = 0; c < rec.count(); ++c)
        resultGrid->setColumnHidden(c,
                                    c != ivalCol && c != avalCol && c != pnameCol && c != aliasCol);
    if (ivalCol >= 0)
        resultGrid->setColumnWidth(ivalCol, 189);
    if (avalCol >= 0)
        resultGrid->setColumnWidth(avalCol, 248);
}

// Accept: write the optimised values into the model's tables. If that fails
// the dialog stays open, so the person can still decline (and get the backup
// restored).
void ResultDialog::onAccept() {
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

void ResultDialog::onDiscard() {
    reject();
}

void ResultDialog::showError(const QString& message) {
    if (errorPresenter)
        errorPresenter(message);
    else
        QMessageBox::critical(this, windowTitle(), message);
}
