#include "evaluation/fit_points.h"

#include "base/number_format.h"
#include "paramdb/database.h"

#include <QHash>
#include <QSqlQuery>
#include <algorithm>
#include <cmath>

namespace {

// The mark the objective writes before every model run.
constexpr double unwrittenMark = -99;

bool readNumber(const QVariant& v, double& out) {
    if (!v.isValid() || v.isNull())
        return false;
    bool ok = false;
    out = v.toDouble(&ok);
    return ok && std::isfinite(out);
}

} // namespace

unsigned fitGroupRgb(int i) {
    static const unsigned base[] = {0x1f77b4, 0xff7f0e, 0x2ca02c, 0xd62728, 0x9467bd,
                                    0x8c564b, 0xe377c2, 0xbcbd22, 0x17becf, 0x393b79};
    constexpr int n = int(sizeof base / sizeof base[0]);
    if (i >= 0 && i < n)
        return base[i];
    // Saturation 0.85 and value 0.75 at a hue that never comes round again.
    const double h = std::fmod((i - n) * 0.618033988749895 + 0.05, 1.0) * 6;
    const double v = 0.75, c = v * 0.85, x = c * (1 - std::fabs(std::fmod(h, 2.0) - 1));
    const double m = v - c;
    double r = 0, g = 0, b = 0;
    switch (int(h)) {
    case 0:
        r = c, g = x;
        break;
    case 1:
        r = x, g = c;
        break;
    case 2:
        g = c, b = x;
        break;
    case 3:
        g = x, b = c;
        break;
    case 4:
        r = x, b = c;
        break;
    default:
        r = c, b = x;
        break;
    }
    auto byte = [m](double f) { return unsigned(std::lround((f + m) * 255)); };
    return byte(r) << 16 | byte(g) << 8 | byte(b);
}

QString fitGroupLabel(const QVariant& index) {
    if (!index.isValid() || index.isNull())
        return QStringLiteral("(empty)");
    if (index.typeId() == QMetaType::Double || index.typeId() == QMetaType::Float)
        return formatGeneral(index.toDouble());
    return index.toString();
}

std::vector<FitGroup> FitData::groups() const {
    std::vector<FitGroup> out;
    if (indexColumn.isEmpty()) {
        if (!points.empty()) {
            out.push_back({allRowsLabel, {}});
            for (int i = 0; i < int(points.size()); ++i)
                out.back().rows.push_back(i);
        }
        return out;
    }
    QHash<QString, int> position;
    for (int i = 0; i < int(points.size()); ++i) {
        const QString label = fitGroupLabel(points[i].index);
        auto it = position.constFind(label);
        if (it == position.cend()) {
            it = position.insert(label, int(out.size()));
            out.push_back({label, {}});
        }
        out[*it].rows.push_back(i);
    }
    return out;
}

std::vector<FitGroup> FitData::drawnGroups() const {
    std::vector<FitGroup> all = groups();
    if (int(all.size()) <= maxFitGroupsDrawn)
        return all;
    FitGroup one{allRowsLabel, {}};
    for (int i = 0; i < int(points.size()); ++i)
        one.rows.push_back(i);
    return {one};
}

std::pair<double, double> FitData::range() const {
    if (points.empty())
        return {0, 0};
    double lo = points.front().observed, hi = lo;
    for (const FitPoint& p : points) {
        lo = std::min({lo, p.observed, p.simulated});
        hi = std::max({hi, p.observed, p.simulated});
    }
    return {lo, hi};
}

FitData readFitPoints(Database& db, const QString& table, const QString& condition,
                      const QString& observed, const QString& simulated, const QString& index) {
    FitData fit;
    fit.indexColumn = index;
    fit.observedColumn = observed;
    fit.simulatedColumn = simulated;
    if (observed.isEmpty() || simulated.isEmpty())
        return fit;

    // The condition is the person's SQL: in parentheses, and the closing one on
    // a line of its own so that a trailing comment cannot swallow it.
    QString columns = observed + QStringLiteral(", ") + simulated;
    if (!index.isEmpty())
        columns += QStringLiteral(", ") + index;
    QSqlQuery q = db.query(QStringLiteral("select ") + columns + QStringLiteral(" from ") + table +
                           QStringLiteral(" where (") + condition + QStringLiteral("\n)"));
    while (q.next()) {
        FitPoint p;
        if (!readNumber(q.value(0), p.observed) || !readNumber(q.value(1), p.simulated) ||
            p.simulated == unwrittenMark) {
            ++fit.skipped;
            continue;
        }
        if (!index.isEmpty())
            p.index = q.value(2);
        fit.points.push_back(std::move(p));
    }
    return fit;
}
