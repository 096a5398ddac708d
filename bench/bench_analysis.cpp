// Cost of the uncertainty analysis apart from the model runs: the Jacobian held
// in memory, the Fisher information (observationCount x ndim^2 extended multiply-adds), its
// inversion and the report, for 100,000 observation rows and 20 parameters.
#include "analysis/fisher.h"
#include "analysis/matrix_unit.h"

#include <QElapsedTimer>
#include <QStringList>
#include <cmath>
#include <cstdio>
#include <sys/resource.h>
#include <vector>

namespace {

long maxRssKb() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

} // namespace

int runAnalysisBench() {
    constexpr int observationCount = 100000;
    constexpr int ndim = 20;
    const long rssBefore = maxRssKb();
    QElapsedTimer t;
    t.start();

    // Synthetic sensitivities: smooth, distinct columns, so that F is well conditioned.
    LongMatrix sensitivityRows(observationCount + 1, LongVector(ndim + 1, 0));
    std::vector<double> w(observationCount + 1, 0);
    for (int k = 1; k <= observationCount; ++k) {
        const double x = double(k) / observationCount;
        sensitivityRows[k][0] = std::sin(x);
        for (int j = 1; j <= ndim; ++j)
            sensitivityRows[k][j] = std::cos(j * 3.1 * x + j) + 0.01 * j;
        w[k] = 0.5 + x;
    }
    const qint64 fillNs = t.nsecsElapsed();

    t.restart();
    const LongMatrix F = fisherInformation(sensitivityRows, w, ndim, observationCount);
    const qint64 fisherNs = t.nsecsElapsed();

    t.restart();
    MatSetDim(ndim);
    LongMatrix V(ndim, LongVector(ndim, 0));
    long double det = 0;
    MatInverse(F, V, det);
    const bool singular = MatStatus == MatSingular;
    std::vector<double> p(ndim + 1, 1.0);
    QStringList aliases{QString()};
    for (int i = 1; i <= ndim; ++i)
        aliases << QStringLiteral("p%1").arg(i);
    const UncertaintyReport rep = uncertaintyReport(V, singular, p, aliases, ndim);
    const qint64 inverseNs = t.nsecsElapsed();
    const long rssAfter = maxRssKb();

    const double payloadMb = double(observationCount + 1) * (ndim + 1) * sizeof(long double) / 1e6;
    std::printf("uncertainty analysis without model runs, nobs=%d ndim=%d:\n", observationCount,
                ndim);
    std::printf("  sensitivities in memory (fill): %.1f ms\n", fillNs / 1e6);
    std::printf("  Fisher information (%.0f M extended multiply-adds): %.1f ms\n",
                double(observationCount) * ndim * ndim / 1e6, fisherNs / 1e6);
    std::printf("  inversion and report (%lld lines, %s): %.3f ms\n",
                static_cast<long long>(rep.lines.size()),
                rep.determined ? "determined" : "singular", inverseNs / 1e6);
    std::printf("  peak RSS: %ld kB before, %ld kB after (Jacobian payload %.1f MB)\n", rssBefore,
                rssAfter, payloadMb);
    return rep.determined ? 0 : 1;
}
