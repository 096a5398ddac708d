// Opening the database, creating PARM_INT and filling the parameter list.
#include "app/fit_error.h"
#include "app/session.h"

#include <QSqlRecord>

namespace {
const QStringList kCreateParmInt = {
    QStringLiteral("create table PARM_INT  ( ITEM_IX counter, FNAME CHAR(16), PNAME CHAR(10), "
                   "MINIMUM DOUBLE, MAXIMUM DOUBLE, "),
    QStringLiteral(" IVAL DOUBLE, STEP DOUBLE, AVAL DOUBLE, SELECTION CHAR(50),ALIAS char(15), "
                   "ERROR Double)"),
};
}

void Session::db_open() {
    caption = db_f_name;
    // The engine's own connection description: the file, shared access (other
    // programs may open it while we do), no password, existing files only.
    cs = QStringLiteral("Driver=QSQLITE;Data Source=") + db_f_name + QStringLiteral(" ") +
         QStringLiteral(";Mode=Share Deny None;Open=ReadWrite,Existing Only;Password=\"\";"
                        "Busy Timeout=30000;");
    // Closing the connection closes PARM_INT and the result query too.
    db.close();
    parmintOpen = false;
    resultQuery.clear();
    emit connectionChanged(false);
    emit resultOpened();
    emit stateChanged();

    db.open(db_f_name);
    emit connectionChanged(true);

    table_LIST.clear();
    table_LIST.items = db.tables();
    table_LIST.select(0);
    tname = table_LIST.selected();
    emit stateChanged();

    bool found = false;
    for (const QString& t : table_LIST.items)
        if (t.compare(QLatin1String("PARM_INT"), Qt::CaseInsensitive) == 0)
            found = true;
    if (!found) {
        // Each line of the command text is followed by a line break.
        db.exec(kCreateParmInt.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    }
    parmintAfterOpen();
}

void Session::parmintAfterOpen() {
    parmintOpen = true;
    QSqlQuery q = db.query(QStringLiteral("select * from parm_int"));
    const QSqlRecord rec = q.record();
    const int aliasCol = rec.indexOf(QStringLiteral("ALIAS"));
    const int pnameCol = rec.indexOf(QStringLiteral("PNAME"));
    comboBox1.items.clear(); // its text stays
    comboBox1.index = -1;
    while (q.next()) {
        const int col = aliasCol >= 0 ? aliasCol : pnameCol;
        comboBox1.items << (col >= 0 ? textOf(q.value(col)) : QString());
    }
    if (!comboBox1.items.isEmpty())
        comboBox1.select(0);
    emit parmintOpened();
    emit stateChanged();
}

void Session::Button2Click() {
    if (!asker)
        throw FitError(QStringLiteral("No database is open: give one with DB=<file>."));
    QString path;
    if (!asker->chooseDatabase(path))
        return;
    db_f_name = path;
    db_open();
}

void Session::reopen() {
    db.open(db.path().isEmpty() ? db_f_name : db.path());
    emit connectionChanged(true);
    parmintAfterOpen();
    if (!resultQuery.isEmpty()) {
        db.query(resultQuery); // fails like the reopening of the result query
        emit resultOpened();
    }
}
