// The demo model: logistic growth of crop biomass.
//
//   demo_model <database> [result-table]
//
// Reads R_MAX, K_CAP and B0 of each site from the table growth_par and writes
//     B(t) = K_CAP / (1 + (K_CAP / B0 - 1) * exp(-R_MAX * t)),  t = DAY,
// into the SIM column of every row of the result table (default "biomass"),
// using the row's SITE_ID and DAY. Every row is written, so the rows the
// calibration marked with -99 are written too; no other column is touched.
// All writes happen in one transaction: the result table is either fully
// updated or, after an error, left as it was. Exit status 0 on success, 1 with a
// message on standard error otherwise.
#include <sqlite3.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>

namespace {

struct Site {
    double rMax = 0, kCap = 0, b0 = 0;
};

struct Failure {
    std::string message;
};

class Db {
  public:
    explicit Db(const char* file) {
        // Opened read-write only: a mistyped name must not create an empty file.
        if (sqlite3_open_v2(file, &h, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            throw Failure{std::string("cannot open ") + file + ": " +
                          (h ? sqlite3_errmsg(h) : "out of memory")};
        // The calibration program may still be closing its connection.
        sqlite3_busy_timeout(h, 10000);
    }
    ~Db() { sqlite3_close(h); }
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    void exec(const std::string& sql) {
        char* err = nullptr;
        if (sqlite3_exec(h, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            Failure f{err ? err : sqlite3_errmsg(h)};
            sqlite3_free(err);
            throw f;
        }
    }
    sqlite3_stmt* prepare(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            throw Failure{sqlite3_errmsg(h) + std::string("\n  in: ") + sql};
        return st;
    }
    void rollback() { sqlite3_exec(h, "ROLLBACK", nullptr, nullptr, nullptr); }
    std::string error() const { return sqlite3_errmsg(h); }

  private:
    sqlite3* h = nullptr;
};

// Finalizes a statement however the block is left.
struct Stmt {
    sqlite3_stmt* st;
    ~Stmt() { sqlite3_finalize(st); }
};

std::string quoted(const std::string& name) {
    std::string out = "\"";
    for (char c : name) {
        out += c;
        if (c == '"')
            out += '"';
    }
    return out + "\"";
}

double biomass(const Site& s, double day) {
    return s.kCap / (1.0 + (s.kCap / s.b0 - 1.0) * std::exp(-s.rMax * day));
}

void run(const char* file, const std::string& table) {
    Db db(file);
    db.exec("BEGIN IMMEDIATE");
    try {
        std::map<long long, Site> sites;
        {
            Stmt q{db.prepare("SELECT SITE_ID, R_MAX, K_CAP, B0 FROM growth_par")};
            int rc;
            while ((rc = sqlite3_step(q.st)) == SQLITE_ROW) {
                Site s{sqlite3_column_double(q.st, 1), sqlite3_column_double(q.st, 2),
                       sqlite3_column_double(q.st, 3)};
                const long long id = sqlite3_column_int64(q.st, 0);
                if (!(s.b0 > 0) || !(s.kCap > 0))
                    throw Failure{"site " + std::to_string(id) + ": B0 and K_CAP must be positive"};
                sites[id] = s;
            }
            if (rc != SQLITE_DONE)
                throw Failure{db.error()};
        }

        Stmt rows{db.prepare("SELECT rowid, SITE_ID, DAY FROM " + quoted(table))};
        Stmt update{db.prepare("UPDATE " + quoted(table) + " SET SIM = ?1 WHERE rowid = ?2")};
        int rc;
        while ((rc = sqlite3_step(rows.st)) == SQLITE_ROW) {
            const long long site = sqlite3_column_int64(rows.st, 1);
            const auto it = sites.find(site);
            if (it == sites.end())
                throw Failure{"no parameters for site " + std::to_string(site) + " in growth_par"};
            sqlite3_bind_double(update.st, 1,
                                biomass(it->second, sqlite3_column_double(rows.st, 2)));
            sqlite3_bind_int64(update.st, 2, sqlite3_column_int64(rows.st, 0));
            if (sqlite3_step(update.st) != SQLITE_DONE)
                throw Failure{db.error()};
            sqlite3_reset(update.st);
        }
        if (rc != SQLITE_DONE)
            throw Failure{db.error()};
        db.exec("COMMIT");
    } catch (...) {
        // The statements of the try block are finalized by now; the original
        // error is the one to report, not a failing rollback.
        db.rollback();
        throw;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: demo_model <database> [result-table]\n");
        return 1;
    }
    try {
        run(argv[1], argc == 3 ? argv[2] : "biomass");
    } catch (const Failure& f) {
        std::fprintf(stderr, "demo_model: %s\n", f.message.c_str());
        return 1;
    }
    return 0;
}
