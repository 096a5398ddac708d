// The general number format of log lines and the locale-aware number readers.
#include "base/fit_error.h"
#include "base/number_format.h"

#include <QCoreApplication>
#include <QLocale>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

TEST(FormatGeneral, ShortestFormWithFifteenDigits) {
    const struct {
        double x;
        const char* text;
    } cases[] = {
        {0, "0"},
        {-0.0, "0"},
        {1, "1"},
        {42, "42"},
        {-7, "-7"},
        {1.5, "1.5"},
        {-2.25, "-2.25"},
        {123.456, "123.456"},
        {0.1 + 0.2, "0.3"}, // 0.30000000000000004 rounds away at 15 digits
        {1.0 / 3.0, "0.333333333333333"},
        {-2.0 / 3.0, "-0.666666666666667"},
        {1.5e-7, "1.5E-7"},
        {-1.5e-7, "-1.5E-7"},
        {0.00001, "0.00001"},
        {0.000012345, "0.000012345"},
        {0.000009999, "9.999E-6"},
        {9.9999999999999995e-6, "0.00001"}, // rounding decides the notation
        {1e-300, "1E-300"},
        {1e20, "1E20"},
        {1e15, "1E15"},
        {999999999999999, "999999999999999"},
        {999999999999999.9, "1E15"},
        {123456789012345, "123456789012345"},
        {123456789012345678.0, "1.23456789012346E17"},
        {-123456789012345678.0, "-1.23456789012346E17"},
        {100, "100"},
        {1e14, "100000000000000"},
        {std::numeric_limits<double>::infinity(), "INF"},
        {-std::numeric_limits<double>::infinity(), "-INF"},
    };
    const QLocale c = QLocale::c();
    for (const auto& tc : cases)
        EXPECT_EQ(formatGeneral(tc.x, c).toStdString(), tc.text) << tc.x;
}

TEST(FormatGeneral, UsesTheLocaleDecimalSeparator) {
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(formatGeneral(1.5, german), "1,5");
    EXPECT_EQ(formatGeneral(-0.00125, german), "-0,00125");
    EXPECT_EQ(formatGeneral(1.5e-7, german), "1,5E-7");
    EXPECT_EQ(formatGeneral(1234567.25, german), "1234567,25"); // no group separators
    EXPECT_EQ(formatGeneral(1e20, german), "1E20");

    // Without an explicit locale the default one applies.
    const QLocale saved;
    QLocale::setDefault(german);
    EXPECT_EQ(formatGeneral(2.5), "2,5");
    QLocale::setDefault(saved);
    EXPECT_EQ(formatGeneral(2.5), QString("2") + saved.decimalPoint() + "5");
}

TEST(ParseLocaleDouble, ReadsTheLocaleFormAndRejectsOthers) {
    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_DOUBLE_EQ(parseLocaleDouble("0.0001", c), 1e-4);
    EXPECT_DOUBLE_EQ(parseLocaleDouble(" -2.5 ", c), -2.5);
    EXPECT_DOUBLE_EQ(parseLocaleDouble("1E-7", c), 1e-7);
    EXPECT_DOUBLE_EQ(parseLocaleDouble("0,0001", german), 1e-4);
    for (const char* bad : {"", "abc", "1.2.3", "1,000.5"})
        EXPECT_THROW(parseLocaleDouble(bad, c), FitError) << bad;
    EXPECT_THROW(parseLocaleDouble("1.000,5", german), FitError);
    try {
        parseLocaleDouble("x1", c);
        FAIL();
    } catch (const FitError& e) {
        EXPECT_TRUE(e.message().contains("x1"));
    }
}

// Command-line numbers and the convergence criterion: a decimal point in every
// locale, and the locale's own separator too.
TEST(ParseNumberText, TakesADecimalPointInEveryLocale) {
    const QLocale german(QLocale::German, QLocale::Germany);
    const QLocale c = QLocale::c();
    const struct {
        const char* text;
        double german;
        double c;
    } cases[] = {
        {"0.0001", 1e-4, 1e-4}, {"0,0001", 1e-4, NAN}, {"1E-9", 1e-9, 1e-9}, {"-2.5", -2.5, -2.5},
        {"1.000,5", NAN, NAN},  {"1,000.5", NAN, NAN}, {"abc", NAN, NAN},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(tc.text);
        for (const auto& [locale, expected] : {std::pair{german, tc.german}, std::pair{c, tc.c}}) {
            if (std::isnan(expected))
                EXPECT_THROW(parseNumberText(tc.text, locale), FitError)
                    << locale.name().toStdString();
            else
                EXPECT_DOUBLE_EQ(parseNumberText(tc.text, locale), expected)
                    << locale.name().toStdString();
        }
    }
}

TEST(ParseDecimalInt, ReadsDecimalDigitsOnly) {
    EXPECT_EQ(parseDecimalInt("50"), 50);
    EXPECT_EQ(parseDecimalInt(" 7 "), 7);
    EXPECT_EQ(parseDecimalInt("-3"), -3);
    for (const char* bad : {"", "5x", "0x10", "1.5", "99999999999"})
        EXPECT_THROW(parseDecimalInt(bad), FitError) << bad;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
