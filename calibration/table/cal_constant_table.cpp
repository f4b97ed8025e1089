#include "calibration/table/cal_constant_table.h"

#include <cmath>

// The nominal values are kept exactly as the device's documentation gives
// them, irregular digits included.
const CalConstantDef CalConstantTable[kCalConstantCount] = {
    {"HS 10.0V PSlope", 0.00031580578, 0.05},
    {"HS 10.0V NSlope", -0.0003158058, 0.05},
    {"HS 10.0V Center", 33523.0, 0.05},
    {"HS 10.0V Offset", -10.586956522, 0.05},
    {"HS 1.00V PSlope", 3.1580578e-05, 0.05},
    {"HS 1.00V NSlope", -3.15806e-05, 0.05},
    {"HS 1.00V Center", 33523.0, 0.05},
    {"HS 1.00V Offset", -1.0586956522, 0.05},
    {"HS 0.10V PSlope", 3.158058e-06, 0.05},
    {"HS 0.10V NSlope", -3.1581e-06, 0.05},
    {"HS 0.10V Center", 33523.0, 0.05},
    {"HS 0.10V Offset", -0.1058695652, 0.05},
    {"HS 0.01V PSlope", 3.15806e-07, 0.05},
    {"HS 0.01V NSlope", -3.158e-07, 0.05},
    {"HS 0.01V Center", 33523.0, 0.05},
    {"HS 0.01V Offset", -0.0105869565, 0.05},
    {"HR 10.0V PSlope", 0.00031580578, 0.5},
    {"HR 10.0V NSlope", -0.0003158058, 0.5},
    {"HR 10.0V Center", 33523.0, 0.5},
    {"HR 10.0V Offset", -10.586956522, 0.5},
    {"HR 1.00V PSlope", 3.1580578e-05, 0.5},
    {"HR 1.00V NSlope", -3.15806e-05, 0.5},
    {"HR 1.00V Center", 33523.0, 0.5},
    {"HR 1.00V Offset", -1.0586956522, 0.5},
    {"HR 0.10V PSlope", 3.158058e-06, 0.5},
    {"HR 0.10V NSlope", -3.1581e-06, 0.5},
    {"HR 0.10V Center", 33523.0, 0.5},
    {"HR 0.10V Offset", -0.1058695652, 0.5},
    {"HR 0.01V PSlope", 3.15806e-07, 0.5},
    {"HR 0.01V NSlope", -3.158e-07, 0.5},
    {"HR 0.01V Center", 33523.0, 0.5},
    {"HR 0.01V Offset", -0.0105869565, 0.5},
    {"DAC0 Slope", 13200.0, 0.05},
    {"DAC0 Offset", 100.0, 2.0},
    {"DAC1 Slope", 13200.0, 0.05},
    {"DAC1 Offset", 100.0, 2.0},
    {"Temp Slope", -92.379, 0.01},
    {"Temp Offset", 465.129215, 0.01},
    {"IS 10uA", 1e-05, 0.015},
    {"IS 200uA", 0.0002, 0.015},
    {"I Bias", 2e-08, 1.0},
};

void ConstantWindow(size_t index, double* low, double* high) {
  const double nominal = CalConstantTable[index].nominal;
  const double reach = std::fabs(nominal) * CalConstantTable[index].tolerance;
  // The DAC offsets are judged by their size, around zero.
  const double center = index == kCalDac0Offset || index == kCalDac1Offset ? 0.0 : nominal;
  *low = center - reach;
  *high = center + reach;
}
