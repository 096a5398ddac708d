#pragma once
// Number formats of log lines and protocol files.
#include <QString>

class QLocale;

// The general number format: at most 15 significant digits, trailing zeros
// dropped, fixed notation for 0.00001 <= |x| < 1E15, otherwise "1.5E-7" / "1E20"
// (the exponent carries a sign only when negative). The decimal separator is the
// one of the given locale (the default locale when none is given).
QString formatGeneral(double x);
QString formatGeneral(double x, const QLocale& locale);

// Reads a number typed into an edit box with the locale's settings; throws
// FitError with a conversion message when the text is not a number.
double parseLocaleDouble(const QString& text);
double parseLocaleDouble(const QString& text, const QLocale& locale);

// Reads a number given on the command line or typed into an edit box: with the
// locale's decimal separator or with a decimal point, whatever the locale (the
// README's examples use points). Group separators are refused in both.
double parseNumberText(const QString& text);
double parseNumberText(const QString& text, const QLocale& locale);

// Reads a decimal integer (an edit box or a command-line value); throws
// FitError when the text is not one.
int parseDecimalInt(const QString& text);
