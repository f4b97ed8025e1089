// Supply, multiplexer rails and temperature, measured through the device's
// own analog inputs and judged against fixed limits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "harness/context.h"

// The verdicts, apart from the device: each builds Msg into msg (cap bytes)
// and returns the level. Readings are floats; the limits are doubles, so a
// limit a float cannot hold falls between two floats.
uint32_t JudgeSupply(float vs, float is, bool calibrating, char* msg, size_t cap);
uint32_t JudgeRails(float vmPlus, float vmMinus, char* msg, size_t cap);
// tex is null when no external reading was taken (no jig).
uint32_t JudgeTemperature(float tin, const float* tex, bool calibrating, char* msg, size_t cap);

// The external sensor gives 10 mV per degree Fahrenheit.
float ExternalKelvin(float volts);

uint32_t VsAndCurrent(TestContext* context);
uint32_t Vmux(TestContext* context);
uint32_t TemperatureSensor(TestContext* context);
// The limits above, for the fingerprint of the station's limits.
void AppendSupplyLimits(std::string* text);
