#pragma once
// The arithmetic of the sensitivity and uncertainty analyses, apart from the
// model runs and the database, so that it can be checked on its own.
#include "analysis/matrix_unit.h"
#include "analysis/sensitivity_table.h"

#include <QString>
#include <QStringList>
#include <vector>

// The arc elasticity of the error with the sign reversed,
// (2 + b) / b * (y0 - yi) / (y0 + yi), worked out in extended precision.
long double sensitivityCoefficient(double b, double y0, double yi);

// One result line of the sensitivity analysis for parameter i: the coefficient,
// or why there is none (an incomplete run, a step of 0, errors that sum to 0).
QString sensitivityLine(int i, double b, double y0, bool baseComplete, double yi, bool runComplete);
// The same for a parameter whose initial value is ival and whose runs used the
// values base and raised after the objective clamped them to the bounds. Where
// the clamping changed either, the relative change of the parameter is taken
// from the values the model saw instead of from b; a parameter that did not
// move at all (a value of 0, or bounds that hold it) has no coefficient.
QString sensitivityLine(int i, double b, double ival, double base, double raised, double y0,
                        bool baseComplete, double yi, bool runComplete);

// F = J^T W^-1 J from the sensitivities sensitivityRows[k][1..ndim] and the variances
// w[k] of the rows k = 1..observationCount; every element is summed over k in ascending
// order in extended precision. F is ndim x ndim, indexed from 0.
LongMatrix fisherInformation(const LongMatrix& sensitivityRows, const std::vector<double>& w,
                             int ndim, int observationCount);
// The same from a table of the runs' values; its variances are counted from 0
// (variances[k - 1] is the variance of row k), as the runs read them.
LongMatrix fisherInformation(const SensitivityTable& sensitivityRows,
                             const std::vector<double>& variances, int ndim, int observationCount);

// Removes blanks and control characters at both ends, as the aliases are
// compared and shown.
QString trimAlias(const QString& text);

// Standard errors and correlations from the covariance matrix V (ndim x ndim,
// from 0). p and aliases are used from index 1. When the information matrix was
// singular, or V holds a variance that is not a positive finite number, nothing
// is determined: `determined` is false, and the lines say so instead of showing
// standard errors of 0 and correlations of 0 / 0.
struct UncertaintyReport {
    bool determined = false;
    std::vector<double> se;             // 1..ndim
    std::vector<std::vector<double>> r; // r[i][j] for 1 <= i < j <= ndim
    QStringList lines;                  // the log lines, headers included
};
UncertaintyReport uncertaintyReport(const LongMatrix& V, bool singular,
                                    const std::vector<double>& p, const QStringList& aliases,
                                    int ndim);

// The lines written instead of standard errors and correlations for a
// singular information matrix.
extern const QString singularFisherLine;
