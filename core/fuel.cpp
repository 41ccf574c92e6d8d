#include "fuel.h"

#include <cstddef>

namespace kornat {

namespace {

struct FuelRow {
    Fuel fuel;
    std::string_view caption;
    double factor;
};

constexpr std::array<FuelRow, 6> kTable{{
    {Fuel::Petrol, "Бензин", 0.147},
    {Fuel::Propane, "Пропан", 0.155},
    {Fuel::Methane, "Метан", 0.172},
    {Fuel::Diesel, "Дизель", 0.146},
    {Fuel::Methanol, "Метанол", 0.064},
    {Fuel::Ethanol, "Этанол", 0.09},
}};

const FuelRow& rowOf(Fuel fuel) {
    // Fuel values are the table's indexes; the static_assert keeps the two in step.
    static_assert(kTable[static_cast<std::size_t>(Fuel::Ethanol)].fuel == Fuel::Ethanol);
    return kTable.at(static_cast<std::size_t>(fuel));
}

}  // namespace

double fuelFactorOf(Fuel fuel) { return rowOf(fuel).factor; }

std::string_view fuelCaption(Fuel fuel) { return rowOf(fuel).caption; }

}  // namespace kornat
