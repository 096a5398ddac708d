#include "evaluation/settings.h"

#include "base/fit_error.h"
#include "base/number_format.h"

#include <cmath>
#include <functional>

namespace {

// A pause in milliseconds: a whole number, not negative.
int parsePauseMs(const QString& key, const QString& value) {
    const int ms = parseDecimalInt(value);
    if (ms < 0)
        throw FitError(QStringLiteral("%1 needs a number of milliseconds of 0 or more, not '%2'.")
                           .arg(key, value));
    return ms;
}

// A run timeout in seconds: a number of 0 or more (0: none).
double parseTimeoutS(const QString& value) {
    bool ok = false;
    const double s = value.trimmed().toDouble(&ok);
    if (!ok || !(s >= 0) || s > 1e9)
        throw FitError(
            QStringLiteral("TO= needs a number of seconds of 0 or more (0: no limit), not '%1'.")
                .arg(value));
    return s;
}

// The number of model runs at the same time: a whole number of 1 or more.
int parseParallelRuns(const QString& key, const QString& value) {
    bool ok = false;
    const int n = value.trimmed().toInt(&ok);
    if (!ok || n < 1 || n > 256)
        throw FitError(QStringLiteral("%1 needs a whole number of model runs at the same time, "
                                      "from 1 to 256, not '%2'.")
                           .arg(key, value));
    return n;
}

// A whole number from `least` to `most`; FitError saying what the key counts.
int parseCount(const QString& key, const QString& value, int least, int most, const char* what) {
    bool ok = false;
    const int n = value.trimmed().toInt(&ok, 10);
    if (!ok || n < least || n > most)
        throw FitError(QStringLiteral("%1 needs a whole number of %2 from %3 to %4, not '%5'.")
                           .arg(key, QLatin1String(what))
                           .arg(least)
                           .arg(most)
                           .arg(value));
    return n;
}

// The convergence tolerance: a number of 0 or more, kept as typed (the journal
// compares it as given).
QString checkedTolerance(const QString& value) {
    double t = -1;
    try {
        t = parseNumberText(value);
    } catch (const FitError&) {
    }
    if (!std::isfinite(t) || t < 0)
        throw FitError(QStringLiteral("KR= needs a tolerance of 0 or more, not '%1'.").arg(value));
    return value;
}

// The error criterion by its name, in any letter case; stored as the name is spelt.
QString checkedCriterionName(const QString& value) {
    for (const char* name : {"RMSE", "NRMSE", "CV(RMSE)"})
        if (value.trimmed().compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return QLatin1String(name);
    throw FitError(
        QStringLiteral("EF= needs one of the criteria RMSE, NRMSE or CV(RMSE), not '%1'.")
            .arg(value));
}

// A key of three characters and what its value sets.
//
// A new setting of the command line is one entry here: its key, the case in
// which it is recognised, and what its value sets. Whatever the entry throws
// (FitError) makes the argument an error of the line, named with it.
struct ValueKey {
    const char* key;
    Qt::CaseSensitivity cs;
    std::function<void(CalibrationSettings&, const QString& key, const QString& value)> apply;
};

const ValueKey kValueKeys[] = {
    {"KR=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString&, const QString& v) {
         s.tolerance = checkedTolerance(v);
     }},
    {"NX=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString&, const QString& v) {
         s.maxEvaluations = parseMaxCalls(v);
     }},
    {"EF=", Qt::CaseInsensitive,
     [](CalibrationSettings& s, const QString&, const QString& v) {
         s.criterionText = checkedCriterionName(v);
     }},
    {"PR=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString& k, const QString& v) {
         s.pauseAfterRunMs = parsePauseMs(k, v);
     }},
    {"PV=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString& k, const QString& v) {
         s.pauseBeforeVertexMs = parsePauseMs(k, v);
     }},
    {"TO=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString&, const QString& v) {
         s.runTimeoutS = parseTimeoutS(v);
     }},
    {"RR=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString&, const QString& v) {
         const int n = parseDecimalInt(v);
         if (n < 0)
             throw FitError(
                 QStringLiteral("RR= needs a number of retries of 0 or more, not '%1'.").arg(v));
         s.retries = n;
     }},
    {"NP=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString& k, const QString& v) {
         s.parallelRuns = parseParallelRuns(k, v);
     }},
    {"SM=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString&, const QString& v) {
         const QString m = v.trimmed().toUpper();
         if (m != QLatin1String("NM") && m != QLatin1String("LM"))
             throw FitError(QStringLiteral("SM= chooses the search: NM (the downhill simplex) "
                                           "or LM (Levenberg-Marquardt least squares), not '%1'.")
                                .arg(v));
         s.leastSquares = m == QLatin1String("LM");
     }},
    {"JD=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString&, const QString& v) {
         const QString d = v.trimmed().toLower();
         if (d != QLatin1String("forward") && d != QLatin1String("central"))
             throw FitError(QStringLiteral("JD= chooses the differences: forward or central, "
                                           "not '%1'.")
                                .arg(v));
         s.centralDifferences = d == QLatin1String("central");
     }},
    {"DS=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString&, const QString& v) {
         bool ok = false;
         const double step = v.trimmed().toDouble(&ok);
         if (!ok || !(step > 0) || !(step < 1))
             throw FitError(QStringLiteral("DS= needs a relative difference step above 0 and "
                                           "below 1 (0.01 is 1 %), not '%1'.")
                                .arg(v));
         s.differenceStep = step;
     }},
    {"NR=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString& k, const QString& v) {
         s.restarts = parseCount(k, v, 0, 100, "restarts of the simplex");
     }},
    {"MS=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString& k, const QString& v) {
         s.starts = parseCount(k, v, 1, 100, "starts of the search");
     }},
    {"WD=", Qt::CaseSensitive,
     [](CalibrationSettings& s, const QString& k, const QString& v) {
         if (v.trimmed().isEmpty())
             throw FitError(QStringLiteral("%1 needs a folder for the workspaces.").arg(k));
         s.workRoot = v;
     }},
};

} // namespace

int parseMaxCalls(const QString& text) {
    bool ok = false;
    const int n = text.trimmed().toInt(&ok, 10);
    if (!ok || n < 1)
        throw FitError(
            QStringLiteral("Nmax needs a whole number of model evaluations of 1 or more, not '%1'.")
                .arg(text));
    return n;
}

QString CalibrationSettings::criterionName() const {
    switch (criterion) {
    case 2:
        return QStringLiteral("NRMSE");
    case 3:
        return QStringLiteral("CV(RMSE)");
    default:
        return QStringLiteral("RMSE");
    }
}

QString BatchOptions::uncertaintyProtocolName() const {
    return unattended && !resultName.isEmpty() ? resultName + QStringLiteral(".txt")
                                               : QStringLiteral("PROT_UNC.TXT");
}

double CalibrationSettings::ftol() const {
    return parseNumberText(tolerance);
}

double CalibrationSettings::stepFraction() const {
    return parseLocaleDouble(sensitivityStep) / 100;
}

bool CalibrationSettings::applyArgument(const QString& arg) {
    const QString key = arg.left(3);
    for (const ValueKey& k : kValueKeys) {
        if (key.compare(QLatin1String(k.key), k.cs) == 0) {
            k.apply(*this, key, arg.mid(3));
            return true;
        }
    }
    return false;
}

bool BatchOptions::applyArgument(const QString& arg) {
    if (arg.left(3) == QLatin1String("RS_")) {
        resultName = arg;
        return true;
    }
    if (arg.compare(QLatin1String("XL_OUT"), Qt::CaseInsensitive) == 0) {
        workbookWanted = true;
        return true;
    }
    if (arg == QLatin1String("RESUME")) {
        resume = true;
        return true;
    }
    if (arg == QLatin1String("GO")) {
        unattended = true;
        return true;
    }
    return false;
}

void CalibrationSettings::setParallelRuns(const QString& text) {
    parallelRuns = parseParallelRuns(QStringLiteral("parallel runs"), text);
}

void CalibrationSettings::applyCriterionName() {
    if (criterionText == QLatin1String("RMSE"))
        criterion = 1;
    else if (criterionText == QLatin1String("NRMSE"))
        criterion = 2;
    else if (criterionText == QLatin1String("CV(RMSE)"))
        criterion = 3;
}
