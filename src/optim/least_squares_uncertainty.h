#pragma once
// The uncertainty of a least-squares result from the Jacobian at it, without
// further model runs: the Fisher information F = J^T W J, the covariance, and
// per parameter the standard error and a 95 % confidence interval, the
// correlations, the condition number of F and the parameters the data cannot
// determine.
#include "optim/least_squares.h"

#include <QStringList>

struct LeastSquaresUncertainty {
    bool determined = false; // F could be inverted: the errors below are set
    std::vector<double> standardError, lower, upper; // per parameter, from 0
    std::vector<std::vector<double>> correlation;    // n x n
    double conditionNumber = 0;                      // +infinity for a singular F
    QStringList lines;                               // for the protocol
    // What they belong to: the parameters' names and estimates, from 0.
    QStringList names;
    std::vector<double> estimate;
};

// `variancesGiven`: the weights are 1 / the known variances (OV=), so the
// covariance is F^-1 and the intervals are normal; otherwise the residual
// variance S / (m - n) scales it and the intervals use Student's t with
// m - n degrees of freedom.
LeastSquaresUncertainty leastSquaresUncertainty(const lsq::Problem& problem,
                                                const lsq::Result& result, bool variancesGiven);

// The two-sided 95 % quantile of Student's t with `dof` degrees of freedom
// (the normal one, 1.959964, for dof <= 0, which stands for infinitely many).
double studentT975(int dof);
