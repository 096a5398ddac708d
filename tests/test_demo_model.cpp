// The demo example: its database script, its model and its run script, put
// together in a work folder the way the demo is run.
#include "model/model_process.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <sys/wait.h>
#include <vector>

namespace {

const QString demoSource = QStringLiteral(SOURCE_DIR "/examples/demo");
const QString demoBinary = QStringLiteral(BINARY_DIR "/examples/demo/demo_model");

class Sqlite {
  public:
    explicit Sqlite(const QString& file) {
        if (sqlite3_open_v2(QFile::encodeName(file).constData(), &h,
                            SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << file.toStdString();
    }
    ~Sqlite() { sqlite3_close(h); }
    void exec(const QByteArray& sql) {
        char* err = nullptr;
        if (sqlite3_exec(h, sql.constData(), nullptr, nullptr, &err) != SQLITE_OK)
            ADD_FAILURE() << (err ? err : "?") << " in " << sql.left(200).toStdString();
        sqlite3_free(err);
    }
    std::vector<std::vector<double>> rows(const char* sql) {
        std::vector<std::vector<double>> out;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, sql, -1, &st, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(h) << " in " << sql;
            return out;
        }
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<double> row;
            for (int i = 0; i < sqlite3_column_count(st); ++i)
                row.push_back(sqlite3_column_double(st, i));
            out.push_back(row);
        }
        sqlite3_finalize(st);
        return out;
    }
    double value(const char* sql) {
        const auto r = rows(sql);
        return r.empty() || r[0].empty() ? NAN : r[0][0];
    }
    std::vector<QString> texts(const char* sql) {
        std::vector<QString> out;
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(h, sql, -1, &st, nullptr);
        while (sqlite3_step(st) == SQLITE_ROW)
            out.push_back(
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 0))));
        sqlite3_finalize(st);
        return out;
    }

  private:
    sqlite3* h = nullptr;
};

// Mean squared standardised residual: about 1 when the model matches the
// observations to their stated noise.
const char* chi2PerRow = "SELECT AVG((OBS - SIM) * (OBS - SIM) / OBS_VAR) FROM biomass";

class DemoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(work.isValid());
        // The work folder as the demo sets it up: run script, model, fresh database.
        ASSERT_TRUE(QFile::copy(demoSource + "/run.sh", work.filePath("run.sh")));
        ASSERT_TRUE(QFile::copy(demoBinary, work.filePath("demo_model")));
        QFile script(demoSource + "/demo.sql");
        ASSERT_TRUE(script.open(QIODevice::ReadOnly));
        Sqlite(db()).exec(script.readAll());
    }
    QString db() const { return work.filePath("demo.sqlite"); }

    // Runs the model through the run script; returns the wait status.
    int runModel() {
        ModelProcess run;
        run.setProgram(work.filePath("run.sh"));
        run.setWorkingDirectory(work.path());
        run.start();
        EXPECT_EQ(run.startError(), -1) << run.errorString().toStdString();
        EXPECT_TRUE(run.waitForEnd());
        return run.exitStatus();
    }

    // What the calibration does before each run: the values named by PARM_INT
    // go into the model's table, and the simulated column is marked with -99.
    void writeParameters(const char* valueSql) {
        Sqlite s(db());
        const auto targets = s.texts("SELECT FNAME || '|' || PNAME || '|' || "
                                     "COALESCE(SELECTION, '') || '|' || ALIAS FROM PARM_INT "
                                     "ORDER BY ITEM_IX");
        ASSERT_EQ(targets.size(), 3u);
        for (const QString& t : targets) {
            const QStringList f = t.split('|');
            QString sql = QStringLiteral("UPDATE %1 SET %2 = (%3 WHERE ALIAS = '%4')")
                              .arg(f[0].trimmed(), f[1].trimmed(), QString::fromUtf8(valueSql),
                                   f[3].trimmed());
            if (!f[2].trimmed().isEmpty())
                sql += " WHERE " + f[2];
            s.exec(sql.toUtf8());
        }
        s.exec("UPDATE biomass SET SIM = -99");
    }

    QTemporaryDir work;
};

TEST_F(DemoTest, ParameterTableHasTheExpectedLayout) {
    Sqlite s(db());
    const auto cols = s.texts("SELECT name FROM pragma_table_info('PARM_INT')");
    const std::vector<QString> expected = {"ITEM_IX",   "FNAME", "PNAME", "MINIMUM",
                                           "MAXIMUM",   "IVAL",  "STEP",  "AVAL",
                                           "SELECTION", "ALIAS", "ERROR"};
    EXPECT_EQ(cols, expected);
    // Start values inside their bounds and away from the true values, so the
    // demo shows a real calibration.
    const auto rows = s.rows("SELECT p.MINIMUM, p.MAXIMUM, p.IVAL, p.STEP, t.VALUE FROM PARM_INT p "
                             "JOIN true_values t ON t.ALIAS = p.ALIAS ORDER BY p.ITEM_IX");
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& r : rows) {
        EXPECT_LT(r[0], r[2]);
        EXPECT_LT(r[2], r[1]);
        EXPECT_GT(r[3], 0);
        EXPECT_LT(r[0], r[4]);
        EXPECT_LT(r[4], r[1]);
        EXPECT_GT(std::fabs(r[2] - r[4]), 0.2 * std::fabs(r[4]));
    }
}

TEST_F(DemoTest, TrueValuesReproduceTheObservationsStartValuesDoNot) {
    const auto obsBefore = Sqlite(db()).rows("SELECT ID, SITE_ID, DAY, OBS, OBS_VAR FROM biomass");
    ASSERT_EQ(obsBefore.size(), 30u);

    writeParameters("SELECT IVAL FROM PARM_INT");
    const int status = runModel();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    Sqlite s(db());
    EXPECT_EQ(s.value("SELECT COUNT(*) FROM biomass WHERE SIM = -99"), 0);
    const double chi2Start = s.value(chi2PerRow);

    writeParameters("SELECT VALUE FROM true_values");
    EXPECT_EQ(runModel(), 0);
    EXPECT_EQ(s.value("SELECT COUNT(*) FROM biomass WHERE SIM = -99"), 0);
    const double chi2True = s.value(chi2PerRow);
    std::printf("[ demo     ] chi2 per row: start values %.2f, true values %.2f\n", chi2Start,
                chi2True);
    EXPECT_LT(chi2True, 2.0);
    EXPECT_GT(chi2Start, 20.0 * chi2True);

    // One value checked by hand: site 2, day 50 with r=0.11, K=900, B0=12.
    const double expected = 900.0 / (1.0 + (900.0 / 12.0 - 1.0) * std::exp(-0.11 * 50));
    EXPECT_NEAR(s.value("SELECT SIM FROM biomass WHERE SITE_ID = 2 AND DAY = 50"), expected, 1e-9);
    // Only SIM changes: rows and observations stay where they were.
    EXPECT_EQ(s.rows("SELECT ID, SITE_ID, DAY, OBS, OBS_VAR FROM biomass"), obsBefore);
}

TEST_F(DemoTest, ModelErrorsLeaveTheResultTableAloneAndExitNonZero) {
    Sqlite s(db());
    s.exec("UPDATE biomass SET SIM = -99; "
           "INSERT INTO biomass (SITE_ID, DAY, OBS, SIM, OBS_VAR) VALUES (9, 10, 1, -99, 1)");
    const int status = runModel();
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 0);
    // All or nothing: no row was written although most sites are known.
    EXPECT_EQ(s.value("SELECT COUNT(*) FROM biomass WHERE SIM <> -99"), 0);

    // A missing database is an error, and no empty file is made in its place.
    QFile::remove(db());
    const int missing = runModel();
    ASSERT_TRUE(WIFEXITED(missing));
    EXPECT_NE(WEXITSTATUS(missing), 0);
    EXPECT_FALSE(QFile::exists(db()));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
