// Selection of tests by station mask, over the full run's names and masks and
// over the station's own table.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "station/station_table.h"

namespace {

uint32_t AnyTest(TestContext*) { return 0; }

// The full run, written out here on its own: the station's table must match
// it row for row, so that an edit of the table shows.
struct PlanRow {
  const char* name;
  uint32_t selection;
  uint32_t exclusion;
};
constexpr size_t kRunTests = 21;
const PlanRow kRun[kRunTests] = {
    {"Open Quenlox", 0x840400, 0},         {"Connect to QXTest Server", 0x10000, 0},
    {"Read Test Jig Info", 0x20000, 0},    {"Serial Number", 0x840000, 0},
    {"Ethernet MAC", 0x840000, 0},         {"Check Calibration", 0x840000, 0},
    {"Vs and Current", 0x40000, 0},        {"Vmux", 0x20000, 0},
    {"System Time", 0x840000, 0},          {"Firmware Version", 0x840000, 0},
    {"Startup DAQ Settings", 0x840000, 0}, {"Device Name", 0x840000, 0},
    {"Temperature Sensor", 0x840000, 0},   {"DIO Short Test", 0x800000, 0x20000},
    {"DIO Jig Test", 0x40020000, 0},       {"DAC Test", 0x20000, 0},
    {"Ethernet test", 0x40000, 0},         {"AIn Noise 16-bit counts", 0x840000, 0},
    {"Calibrate", 0x40020080, 0},          {"Report Calibraion", 0x40030080, 0},
    {"Report Test Results", 0x10000, 0},
};

// The full run as a test table, every row with a test to call.
class FullTable {
 public:
  FullTable() {
    for (size_t i = 0; i < kRunTests; ++i) {
      rows_[i] = {kRun[i].name, kZ5DeviceType, AnyTest, kRun[i].selection, kRun[i].exclusion};
    }
    rows_[kRunTests] = {nullptr, 0, nullptr, 0, 0};
  }
  const TestEntry* rows() const { return rows_; }

 private:
  TestEntry rows_[kRunTests + 1];
};

// Plan row numbers of the names in a list.
std::vector<int> RowsOf(const TestRecord* list, uint32_t count) {
  std::vector<int> rows;
  for (uint32_t i = 0; i < count; ++i) {
    int found = -1;
    for (size_t r = 0; r < kRunTests; ++r) {
      if (strcmp(list[i].name, kRun[r].name) == 0) found = static_cast<int>(r);
    }
    rows.push_back(found);
  }
  return rows;
}

struct MaskCase {
  uint32_t mask;
  std::vector<int> rows;
};

void PrintTo(const MaskCase& c, std::ostream* out) { *out << "mask 0x" << std::hex << c.mask; }

class SelectionTest : public ::testing::TestWithParam<MaskCase> {
 protected:
  FullTable table;
  TestRecord list[kMaxTests];
};

TEST_P(SelectionTest, MaskSelectsRowsInTableOrder) {
  const MaskCase& c = GetParam();
  uint32_t count = 99;
  ASSERT_EQ(SelectTests(table.rows(), c.mask, list, &count), 0u);
  EXPECT_EQ(RowsOf(list, count), c.rows);
}

std::vector<int> AllBut(int skipped) {
  std::vector<int> rows;
  for (int r = 0; r < static_cast<int>(kRunTests); ++r) {
    if (r != skipped) rows.push_back(r);
  }
  return rows;
}

INSTANTIATE_TEST_SUITE_P(
    Masks, SelectionTest,
    ::testing::Values(MaskCase{0, {}}, MaskCase{0x400, {0}},
                      // Jig alone: its own rows and, needing only the jig, the DIO jig test.
                      MaskCase{0x20000, {2, 7, 14, 15}},
                      // Calibration with the jig, but Report Calibraion also needs the server.
                      MaskCase{0x20080, {2, 7, 14, 15, 18}},
                      MaskCase{0x30080, {1, 2, 7, 14, 15, 18, 19, 20}},
                      // Calibration bit alone selects nothing; it only completes bit-30 rows.
                      MaskCase{0x80, {}}, MaskCase{0x10000, {1, 20}}, MaskCase{0x10080, {1, 20}},
                      MaskCase{0x40000, {0, 3, 4, 5, 6, 8, 9, 10, 11, 12, 16, 17}},
                      MaskCase{0x800000, {0, 3, 4, 5, 8, 9, 10, 11, 12, 13, 17}},
                      // The jig drops the DIO short test even where 0x800000 selects it.
                      MaskCase{0x820000, {0, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 14, 15, 17}},
                      // Bit 30 in the station mask is no station.
                      MaskCase{0x40000000, {}},
                      // Option bits select nothing on their own.
                      MaskCase{0x20 | 0x40 | 0x100 | 0x1000, {}},
                      // Full calibration station and every bit: all but the DIO short test.
                      MaskCase{0x870080, AllBut(13)}, MaskCase{0xFFFFFFFF, AllBut(13)}));

struct RowCase {
  uint32_t selection;
  uint32_t exclusion;
  uint32_t mask;
  bool selected;
};

void PrintTo(const RowCase& c, std::ostream* out) {
  *out << std::hex << "selection 0x" << c.selection << " exclusion 0x" << c.exclusion << " mask 0x"
       << c.mask;
}

class RowRuleTest : public ::testing::TestWithParam<RowCase> {};

TEST_P(RowRuleTest, SelectionAndExclusionRules) {
  const RowCase& c = GetParam();
  EXPECT_EQ(RowSelected(c.selection, c.exclusion, c.mask), c.selected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, RowRuleTest,
    ::testing::Values(
        // Any one listed bit selects a row without bit 30.
        RowCase{0x30000, 0, 0x10000, true}, RowCase{0x30000, 0, 0x20000, true},
        RowCase{0x30000, 0, 0x40000, false},
        // With bit 30 every listed bit is needed.
        RowCase{0x40030000, 0, 0x10000, false}, RowCase{0x40030000, 0, 0x30000, true},
        RowCase{0x40030000, 0, 0x70000, true},
        // Bit 30 with no station bits: always selected.
        RowCase{0x40000000, 0, 0, true},
        // Bits above 23 are not stations.
        RowCase{0x01000000, 0, 0x01000000, false}, RowCase{0x41000000, 0, 0, true},
        // Exclusion beats selection, and never selects on its own.
        RowCase{0x800000, 0x20000, 0x820000, false}, RowCase{0x800000, 0x20000, 0x800000, true},
        RowCase{0x800000, 0x20000, 0x20000, false}, RowCase{0x40000000, 0x400, 0x400, false}));

class SelectTestsTest : public ::testing::Test {
 protected:
  SelectTestsTest() {
    for (TestRecord& entry : list) {
      entry.name = "stale";
      entry.status = kLevelFatal;
      TextCopy(entry.details, "stale details");
      entry.test = nullptr;
    }
  }
  TestRecord list[kMaxTests];
};

TEST_F(SelectTestsTest, KeptRowsStartNotRunWithEmptyDetails) {
  FullTable table;
  uint32_t count = 0;
  SelectTests(table.rows(), 0x400, list, &count);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(list[0].name, "Open Quenlox");
  EXPECT_EQ(list[0].test, AnyTest);
  EXPECT_EQ(list[0].status, static_cast<uint32_t>(kLevelNotRun));
  EXPECT_STREQ(list[0].details, "");
  // Entries past the count are not touched.
  EXPECT_STREQ(list[1].name, "stale");
}

TEST_F(SelectTestsTest, ListStopsAtFiftyEntries) {
  std::vector<TestEntry> rows(kMaxTests + 10, TestEntry{"Row", 2, AnyTest, 0x1, 0});
  rows[kMaxTests - 1].name = "Last that fits";
  rows.push_back({nullptr, 0, nullptr, 0, 0});
  uint32_t count = 0;
  EXPECT_EQ(SelectTests(rows.data(), 0x1, list, &count), 0u);
  EXPECT_EQ(count, kMaxTests);
  EXPECT_STREQ(list[kMaxTests - 1].name, "Last that fits");
}

TEST_F(SelectTestsTest, TableEndsAtTheRowWithoutATest) {
  const TestEntry rows[] = {
      {"Before", 2, AnyTest, 0x1, 0},
      {"End", 2, nullptr, 0x1, 0},
      {"After", 2, AnyTest, 0x1, 0},
  };
  uint32_t count = 0;
  SelectTests(rows, 0x1, list, &count);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(list[0].name, "Before");
}

TEST_F(SelectTestsTest, NullArgumentsAreRefused) {
  FullTable table;
  uint32_t count = 7;
  EXPECT_EQ(SelectTests(nullptr, 0x400, list, &count), 1u);
  EXPECT_EQ(count, 0u);
  count = 7;
  EXPECT_EQ(SelectTests(table.rows(), 0x400, nullptr, &count), 1u);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(SelectTests(table.rows(), 0x400, list, nullptr), 1u);
  EXPECT_EQ(GetTestList(nullptr, list), 1u);
  TestContext context;
  EXPECT_EQ(GetTestList(&context, nullptr), 1u);
}

// The station's table is the whole run: every row with its test, name and
// masks, in run order, and nothing else.
TEST(StationTableTest, TheTableHoldsTheTwentyOneRowsOfTheRun) {
  const PlanRow* expected = kRun;
  size_t count = 0;
  for (const TestEntry* row = kTestTable; row->test != nullptr; ++row, ++count) {
    ASSERT_LT(count, 21u) << "more rows than the run has";
    SCOPED_TRACE(count);
    EXPECT_STREQ(expected[count].name, row->name);
    EXPECT_EQ(expected[count].selection, row->selection);
    EXPECT_EQ(expected[count].exclusion, row->exclusion);
    EXPECT_EQ(kZ5DeviceType, row->code);
  }
  EXPECT_EQ(21u, count);
}

TEST(StationTableTest, GetTestListSelectsFromTheStationTable) {
  FullTable full;
  for (uint32_t mask : {0u, 0x400u, 0x20000u, 0x20080u, 0x840000u, 0x870080u, 0xFFFFFFFFu}) {
    TestContext context;
    context.mask = mask;
    context.testCount = 99;
    TestRecord list[kMaxTests];
    ASSERT_EQ(GetTestList(&context, list), 0u);
    // Exactly the rows the full run selects, among those that exist.
    TestRecord all[kMaxTests];
    uint32_t allCount = 0;
    SelectTests(full.rows(), mask, all, &allCount);
    std::vector<std::string> expected;
    for (uint32_t i = 0; i < allCount; ++i) {
      for (const TestEntry* row = kTestTable; row->test != nullptr; ++row) {
        if (strcmp(row->name, all[i].name) == 0) expected.push_back(all[i].name);
      }
    }
    std::vector<std::string> got;
    for (uint32_t i = 0; i < context.testCount; ++i) got.push_back(list[i].name);
    EXPECT_EQ(got, expected) << std::hex << mask;
  }
}

TEST(DeviceTypeTableTest, OnlyTheZ5HasATestList) {
  const DeviceTypeEntry* z5 = FindDeviceType(kDeviceTypes, 2);
  ASSERT_NE(z5, nullptr);
  EXPECT_STREQ(z5->name, "GetTestList");
  EXPECT_EQ(z5->getList, GetTestList);
  for (uint32_t code : {0u, 1u, 3u, 0xFFFFFFFFu})
    EXPECT_EQ(FindDeviceType(kDeviceTypes, code), nullptr);
  EXPECT_EQ(FindDeviceType(nullptr, 2), nullptr);
}

TEST(DeviceTypeTableTest, SearchEndsAtTheRowWithoutAFunction) {
  const DeviceTypeEntry table[] = {
      {"First", 4, GetTestList},
      {"End", 5, nullptr},
      {"Hidden", 6, GetTestList},
  };
  EXPECT_EQ(FindDeviceType(table, 4), &table[0]);
  EXPECT_EQ(FindDeviceType(table, 5), nullptr);
  EXPECT_EQ(FindDeviceType(table, 6), nullptr);
}

TEST(ExtraTestTableTest, FoundByExactNameUpToTheRowWithoutATest) {
  const ExtraTest table[] = {
      {"AnyTest", AnyTest},
      {"End", nullptr},
      {"Hidden", AnyTest},
  };
  EXPECT_EQ(FindExtraTest(table, "AnyTest"), &table[0]);
  for (const char* name : {"anytest", "AnyTest ", "Any", "", "End", "Hidden"})
    EXPECT_EQ(FindExtraTest(table, name), nullptr) << name;
  EXPECT_EQ(FindExtraTest(table, nullptr), nullptr);
  EXPECT_EQ(FindExtraTest(nullptr, "AnyTest"), nullptr);
  // The station's own list is well formed: it ends, and each row finds itself.
  for (const ExtraTest* row = kExtraTests; row->test != nullptr; ++row)
    EXPECT_EQ(FindExtraTest(kExtraTests, row->name), row);
}

}  // namespace
