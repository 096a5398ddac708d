#pragma once
// The "fit" sheet of the report: the selected result rows of one model run
// (index, observed, simulated, residual), a scatter chart of observed against
// simulated values with the 1:1 line, and a chart of the criterion per model run.
#include "analysis/workbook.h"
#include "evaluation/fit_points.h"

#include <QPointF>
#include <QVector>

inline const QString fitSheetName = QStringLiteral("fit");

// Adds the sheet behind all others. Layout, rows and columns counted from 1:
//  A..D  the index column's, observed and simulated column's names and
//        "residual" in row 1; one row per point below (residual = observed -
//        simulated), the rows of one group together, groups in the order they
//        first appear;
//  F     "1:1 line" in F1, the smallest and largest value in F2 and F3;
//  H, I  "model run" and criterionName in row 1, the criterion series below;
//  K     the two charts.
void addFitSheet(Workbook& book, const FitData& fit, const QVector<QPointF>& criterion,
                 const QString& criterionName);
