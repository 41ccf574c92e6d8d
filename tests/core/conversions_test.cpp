#include <gtest/gtest.h>

#include <QLocale>
#include <QTemporaryDir>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <string>

#include "conversions.h"
#include "fuel.h"

namespace kornat {
namespace {

TEST(FuelTable, FactorsAndCaptionsInButtonOrder) {
    struct Row {
        Fuel fuel;
        const char* caption;
        double factor;
    };
    const Row rows[] = {
        {Fuel::Petrol, "Бензин", 0.147},   {Fuel::Propane, "Пропан", 0.155},
        {Fuel::Methane, "Метан", 0.172},   {Fuel::Diesel, "Дизель", 0.146},
        {Fuel::Methanol, "Метанол", 0.064}, {Fuel::Ethanol, "Этанол", 0.09},
    };
    ASSERT_EQ(kFuels.size(), std::size(rows));
    for (std::size_t i = 0; i < kFuels.size(); ++i) {
        SCOPED_TRACE(rows[i].caption);
        EXPECT_EQ(kFuels[i], rows[i].fuel);
        EXPECT_EQ(fuelCaption(rows[i].fuel), rows[i].caption);
        // Stored as the ratio over 100, bit for bit the literal.
        EXPECT_EQ(fuelFactorOf(rows[i].fuel), rows[i].factor);
    }
}

TEST(Conversions, LambdaIsMultipliedThenDivided) {
    for (int raw = 0; raw <= 255; ++raw) {
        const double expected = static_cast<double>(raw) * 0.01 / 1.42;
        EXPECT_EQ(lambdaValue(static_cast<RawSample>(raw)), expected) << raw;
    }
    EXPECT_EQ(afrValue(1.0, 0.147), 1.0 * 0.147 * 100.0);
    EXPECT_EQ(traceLevel(255), 446.25);
    EXPECT_DOUBLE_EQ(traceY(255), 4.4625);
    EXPECT_EQ(traceY(0), 0.0);
    EXPECT_DOUBLE_EQ(sweepX(1), 0.1);
    EXPECT_DOUBLE_EQ(sweepX(101), 10.1);
    EXPECT_EQ(sweepX(0), 0.0);
}

struct ReadoutCase {
    RawSample raw;
    Fuel fuel;
    const char* lambda;
    const char* afr;
};

class Readouts : public ::testing::TestWithParam<ReadoutCase> {};

TEST_P(Readouts, TextsInCLocale) {
    const ReadoutCase& c = GetParam();
    const QLocale c_locale = QLocale::c();
    const double lambda = lambdaValue(c.raw);
    EXPECT_EQ(lambdaText(lambda, c_locale).toStdString(), c.lambda);
    EXPECT_EQ(afrText(afrValue(lambda, fuelFactorOf(c.fuel)), c_locale).toStdString(), c.afr);
}

INSTANTIATE_TEST_SUITE_P(
    EdgeValues, Readouts,
    ::testing::Values(ReadoutCase{0, Fuel::Petrol, "0.00", "0.0"},
                      ReadoutCase{0, Fuel::Methanol, "0.00", "0.0"},
                      ReadoutCase{0, Fuel::Ethanol, "0.00", "0.0"},
                      ReadoutCase{142, Fuel::Petrol, "1.00", "14.7"},
                      ReadoutCase{142, Fuel::Propane, "1.00", "15.5"},
                      ReadoutCase{142, Fuel::Methane, "1.00", "17.2"},
                      ReadoutCase{142, Fuel::Diesel, "1.00", "14.6"},
                      ReadoutCase{142, Fuel::Methanol, "1.00", "6.4"},
                      ReadoutCase{142, Fuel::Ethanol, "1.00", "9.0"},
                      ReadoutCase{100, Fuel::Petrol, "0.70", "10.4"},
                      ReadoutCase{255, Fuel::Petrol, "1.80", "26.4"},
                      ReadoutCase{1, Fuel::Petrol, "0.01", "0.1"},
                      ReadoutCase{138, Fuel::Petrol, "0.97", "14.3"}));

TEST(Readouts, NoFuelPolledYetShowsZeroAirFuel) {
    for (RawSample raw : {RawSample{0}, RawSample{142}, RawSample{255}}) {
        EXPECT_EQ(afrText(afrValue(lambdaValue(raw), 0.0), QLocale::c()), "0.0") << int(raw);
    }
}

TEST(Readouts, CommaLocaleUsesItsSeparatorAndNothingElse) {
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    const QLocale german(QLocale::German, QLocale::Germany);
    for (const QLocale& locale : {russian, german}) {
        EXPECT_EQ(lambdaText(1.0, locale), "1,00");
        EXPECT_EQ(afrText(afrValue(lambdaValue(255), 0.147), locale), "26,4");
    }
    // Locales with digits of their own still show the readouts in Western digits.
    const QLocale arabic(QLocale::Arabic, QLocale::Egypt);
    EXPECT_EQ(lambdaText(1.0, arabic), QStringLiteral("1") + arabic.decimalPoint() + "00");
}

TEST(Readouts, OnlyTheGivenLocaleDecidesTheSeparator) {
    // A Qt application sets the C library's locale from the environment; a comma there must not
    // leak into the readouts. The comma locale is compiled here so the test does not depend on
    // the machine's generated locales.
    const QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString command = QStringLiteral("localedef -i ru_RU -f UTF-8 '%1/ru_RU.UTF-8' 2>/dev/null")
                                .arg(dir.path());
    ASSERT_EQ(std::system(command.toLocal8Bit().constData()), 0)
        << "localedef and the locales package are needed";
    ASSERT_EQ(setenv("LOCPATH", dir.path().toLocal8Bit().constData(), 1), 0);
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "ru_RU.UTF-8"), nullptr);
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");
    const QString lambda = lambdaText(1.0, QLocale::c());
    const QString afr = afrText(14.7, QLocale::c());
    std::setlocale(LC_NUMERIC, previous.c_str());
    unsetenv("LOCPATH");
    EXPECT_EQ(lambda, "1.00");
    EXPECT_EQ(afr, "14.7");
}

TEST(Readouts, NonFiniteValuesNeverShowAFigure) {
    EXPECT_EQ(lambdaText(std::numeric_limits<double>::quiet_NaN(), QLocale::c()), "-");
    EXPECT_EQ(afrText(std::numeric_limits<double>::infinity(), QLocale::c()), "-");
}

}  // namespace
}  // namespace kornat
