#include "analysis/fisher.h"

#include "base/number_format.h"

#include <cmath>

const QString singularFisherLine =
    QStringLiteral("the Fisher information matrix is singular: the observations do not "
                   "determine the parameters");

long double sensitivityCoefficient(double b, double y0, double yi) {
    const long double bl = b;
    return (2 + bl) / bl * (static_cast<long double>(y0) - yi) /
           (static_cast<long double>(y0) + yi);
}

QString sensitivityLine(int i, double b, double y0, bool baseComplete, double yi,
                        bool runComplete) {
    return sensitivityLine(i, b, 1, 1, 1 * (1 + b), y0, baseComplete, yi, runComplete);
}

QString sensitivityLine(int i, double b, double ival, double base, double raised, double y0,
                        bool baseComplete, double yi, bool runComplete) {
    const QString head =
        QStringLiteral(" Sensitivity of Parm") + QString::number(i) + QStringLiteral(" :");
    const QString none = QStringLiteral(" not available, ");
    // An incomplete run returns 0 as its error; a number made from it would
    // look like a result.
    if (!baseComplete)
        return head + none + QStringLiteral("the base run was incomplete");
    if (!runComplete)
        return head + none + QStringLiteral("the run with this parameter raised was incomplete");
    if (b == 0)
        return head + none + QStringLiteral("the step size is 0");
    // Without a change of the parameter an equal error would read as "0", an
    // insensitivity that was never measured.
    if (raised == base)
        return head + none +
               QStringLiteral("the parameter does not move (its value is 0 or its bounds hold it)");
    if (static_cast<long double>(y0) + yi == 0)
        return head + none + QStringLiteral("both errors are 0");
    if (base == ival && raised == ival * (1 + b))
        return head + formatGeneral(static_cast<double>(sensitivityCoefficient(b, y0, yi)));
    // (raised + base) / (raised - base) is what (2 + b) / b is for an unclamped step.
    const long double factor =
        (static_cast<long double>(raised) + base) / (static_cast<long double>(raised) - base);
    return head + formatGeneral(static_cast<double>(factor * (static_cast<long double>(y0) - yi) /
                                                    (static_cast<long double>(y0) + yi)));
}

namespace {

// Row by row through the sensitivities: every element still sums over k in
// ascending order, so the result is the same as summing element by element,
// but each row is read once while it is in the cache. rowOf(k) gives row k.
template <typename RowOf, typename VarianceOf>
LongMatrix informationOf(RowOf&& rowOf, VarianceOf&& varianceOf, int ndim, int observationCount) {
    LongMatrix f(ndim, LongVector(ndim, 0));
    for (int k = 1; k <= observationCount; ++k) {
        const LongVector& row = rowOf(k);
        const long double wk = varianceOf(k);
        for (int p = 0; p < ndim; ++p) {
            const long double jp = row[p + 1];
            LongVector& fp = f[p];
            for (int q = 0; q < ndim; ++q)
                fp[q] = jp * row[q + 1] / wk + fp[q];
        }
    }
    return f;
}

} // namespace

LongMatrix fisherInformation(const LongMatrix& sensitivityRows, const std::vector<double>& w,
                             int ndim, int observationCount) {
    return informationOf([&](int k) -> const LongVector& { return sensitivityRows[k]; },
                         [&](int k) { return w[std::size_t(k)]; }, ndim, observationCount);
}

LongMatrix fisherInformation(const SensitivityTable& sensitivityRows,
                             const std::vector<double>& variances, int ndim, int observationCount) {
    LongVector row(ndim + 1, 0);
    return informationOf(
        [&](int k) -> const LongVector& {
            for (int j = 1; j <= ndim; ++j)
                row[j] = sensitivityRows.at(k, j);
            return row;
        },
        [&](int k) { return variances[std::size_t(k - 1)]; }, ndim, observationCount);
}

QString trimAlias(const QString& text) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text[begin].unicode() <= 32)
        ++begin;
    while (end > begin && text[end - 1].unicode() <= 32)
        --end;
    return text.mid(begin, end - begin);
}

UncertaintyReport uncertaintyReport(const LongMatrix& V, bool singular,
                                    const std::vector<double>& p, const QStringList& aliases,
                                    int ndim) {
    UncertaintyReport rep;
    rep.determined = !singular;
    for (int i = 0; i < ndim && rep.determined; ++i) {
        const long double v = V[i][i];
        // A rounding-level singular matrix inverts into variances of no meaning.
        if (!(v > 0) || !std::isfinite(v))
            rep.determined = false;
    }

    rep.se.assign(ndim + 1, 0);
    rep.r.assign(ndim + 1, std::vector<double>(ndim + 1, 0));
    auto name = [&](int i) {
        return QStringLiteral("prm") + QString::number(i) + QLatin1Char('[') +
               trimAlias(aliases.value(i)) + QLatin1Char(']');
    };

    rep.lines << QStringLiteral("standard errors of parameters");
    if (!rep.determined)
        rep.lines << singularFisherLine;
    for (int i = 1; i <= ndim; ++i) {
        QString line = name(i) + QStringLiteral(":  MW=") + formatGeneral(p[i]);
        if (rep.determined) {
            rep.se[i] = static_cast<double>(std::sqrt(V[i - 1][i - 1]));
            line += QStringLiteral(" +/- ") + formatGeneral(rep.se[i]);
        }
        rep.lines << line;
    }

    rep.lines << QStringLiteral("correlation between parameters");
    if (!rep.determined) {
        rep.lines << singularFisherLine;
        return rep;
    }
    for (int i = 1; i <= ndim; ++i)
        for (int j = i + 1; j <= ndim; ++j) {
            const double c = static_cast<double>(V[i - 1][j - 1]);
            const double si = static_cast<double>(std::sqrt(V[i - 1][i - 1]));
            const double sj = static_cast<double>(std::sqrt(V[j - 1][j - 1]));
            const double r = static_cast<double>(c / (static_cast<long double>(si) * sj));
            rep.r[i][j] = r;
            rep.lines << QStringLiteral("prm") + QString::number(i) + QStringLiteral(" : prm") +
                             QString::number(j) + QStringLiteral(", r=") + formatGeneral(r);
        }
    return rep;
}
