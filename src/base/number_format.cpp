#include "base/number_format.h"

#include "base/fit_error.h"

#include <QLocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

QString formatGeneral(double x) {
    return formatGeneral(x, QLocale());
}

QString formatGeneral(double x, const QLocale& locale) {
    if (std::isnan(x))
        return QStringLiteral("NAN");
    if (std::isinf(x))
        return x > 0 ? QStringLiteral("INF") : QStringLiteral("-INF");
    if (x == 0)
        return QStringLiteral("0");

    // Round to 15 significant digits first; the notation depends on the rounded value.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", x);
    // buf: [-]d.dddddddddddddde[+-]xx
    const bool negative = buf[0] == '-';
    const char* p = negative ? buf + 1 : buf;
    QString digits;
    digits += QChar(p[0]);
    const char* frac = p + 2;
    const char* e = std::strchr(p, 'e');
    for (const char* q = frac; q < e; ++q)
        digits += QChar(*q);
    const int exponent = std::atoi(e + 1);
    while (digits.size() > 1 && digits.endsWith(QLatin1Char('0')))
        digits.chop(1);

    const QString dp = locale.decimalPoint();
    QString out;
    if (exponent >= -5 && exponent < 15) {
        if (exponent >= 0) {
            const int intLen = exponent + 1;
            if (digits.size() <= intLen) {
                out = digits + QString(intLen - digits.size(), QLatin1Char('0'));
            } else {
                out = digits.left(intLen) + dp + digits.mid(intLen);
            }
        } else {
            out = QStringLiteral("0") + dp + QString(-exponent - 1, QLatin1Char('0')) + digits;
        }
    } else {
        out = digits.left(1);
        if (digits.size() > 1)
            out += dp + digits.mid(1);
        out += QLatin1Char('E');
        if (exponent < 0)
            out += QLatin1Char('-');
        out += QString::number(std::abs(exponent));
    }
    return negative ? QLatin1Char('-') + out : out;
}

double parseLocaleDouble(const QString& text) {
    return parseLocaleDouble(text, QLocale());
}

double parseLocaleDouble(const QString& text, const QLocale& locale) {
    bool ok = false;
    QLocale l = locale;
    l.setNumberOptions(QLocale::RejectGroupSeparator);
    const double v = l.toDouble(text.trimmed(), &ok);
    if (!ok)
        throw FitError(QStringLiteral("'%1' is not a valid floating point value").arg(text));
    return v;
}

double parseNumberText(const QString& text) {
    return parseNumberText(text, QLocale());
}

double parseNumberText(const QString& text, const QLocale& locale) {
    try {
        return parseLocaleDouble(text, locale);
    } catch (const FitError&) {
        // With group separators refused, a text that the locale rejects is read
        // the same by every locale that accepts it: there is no second meaning.
        return parseLocaleDouble(text, QLocale::c());
    }
}

int parseDecimalInt(const QString& text) {
    bool ok = false;
    const int v = text.trimmed().toInt(&ok, 10);
    if (!ok)
        throw FitError(QStringLiteral("'%1' is not a valid integer value").arg(text));
    return v;
}
