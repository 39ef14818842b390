// Oudin potential evapotranspiration from temperature, day of year and latitude.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <vector>

#include "errors/errors.hpp"

namespace vardex::pet {

// oudin's checks, in their fixed order; the first failing one.
std::optional<PetError> oudin_check(std::span<const double> temperature, std::span<const std::uint64_t> day_of_year,
                                    double latitude);

// oudin writing into out, as long as temperature and overlapping no input.
std::optional<PetError> oudin_into(std::span<const double> temperature, std::span<const std::uint64_t> day_of_year,
                                   double latitude, std::span<double> out);

std::expected<std::vector<double>, PetError> oudin(std::span<const double> temperature,
                                                   std::span<const std::uint64_t> day_of_year, double latitude);

}  // namespace vardex::pet
