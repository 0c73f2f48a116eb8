#pragma once

#include "platform/entity_manager.hpp"

#include <cstdint>
#include <string>

// EntityManager's configuration records and the conversions of their typed
// values. A conversion that does not fit throws std::invalid_argument with
// the text "Cannot translate type <source> to <target>".

using ConfigValue = entity_manager::config_value;
using ConfigProperties = entity_manager::config_properties;
using ConfigInterfaces = entity_manager::config_interfaces;
using ManagedObjects = entity_manager::managed_objects;

/** Text of a value: integers in decimal, doubles as "%f", bools "1"/"0". */
std::string variantToString(const ConfigValue& value);
/** Unsigned 32-bit: integers wrap to their low 32 bits, doubles truncate. */
uint32_t variantToUnsigned(const ConfigValue& value);
double variantToDouble(const ConfigValue& value);
