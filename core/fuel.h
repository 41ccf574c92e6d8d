#pragma once

#include <array>
#include <string_view>

namespace kornat {

// The fuels in the order of the fuel buttons on the window, top to bottom.
enum class Fuel { Petrol, Propane, Methane, Diesel, Methanol, Ethanol };

inline constexpr std::array<Fuel, 6> kFuels{Fuel::Petrol,   Fuel::Propane,  Fuel::Methane,
                                            Fuel::Diesel,   Fuel::Methanol, Fuel::Ethanol};

// The factor is the stoichiometric air/fuel ratio divided by 100; the air/fuel conversion
// multiplies the 100 back in, so 0.147 shows as 14.7 at lambda 1.00.
double fuelFactorOf(Fuel fuel);

// The Russian caption of the fuel's button, UTF-8.
std::string_view fuelCaption(Fuel fuel);

}  // namespace kornat
