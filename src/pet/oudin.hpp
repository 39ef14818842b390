// Oudin potential evapotranspiration from temperature, day of year and latitude.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <vector>

#include "errors/errors.hpp"

namespace vardex::pet {

std::expected<std::vector<double>, PetError> oudin(std::span<const double> temperature,
                                                   std::span<const std::uint64_t> day_of_year, double latitude);

}  // namespace vardex::pet
