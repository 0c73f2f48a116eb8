#pragma once

#include <string>

/** A sensor name fit for an object path: every run of characters other
 *  than letters, digits, "_" and "/" becomes one "_". */
std::string escapeSensorName(const std::string& name);
