// The upgrade sequencer and its console loop against the bench device on a
// fake clock: the whole dialogue to the character, the wait's
// length from the bootloader version, partial last pages, the refusals of the
// file check before any page is touched, failures in the middle, the wait
// counter passing its total, a second run after a first, the process
// entry's order of input and window placement, and FlashImage.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "device/flash_map.h"
#include "fwpack/firmware_pack.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/status.h"
#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"
#include "tests/support/bench_device.h"
#include "tests/support/temp_dir.h"
#include "upgrade/run_upgrade.h"
#include "upgrade/upgrade_sequencer.h"

namespace {

// A console that keeps what is written and answers reads from a script.
class ScriptedConsole : public platform::Console {
 public:
  void Write(const char* text, size_t length) override { out.append(text, length); }
  int ReadLine(char* buffer, size_t capacity) override {
    events.push_back("line");
    if (lines.empty()) {
      buffer[0] = '\0';
      return platform::kClosed;
    }
    // As the real console: the rest of a long line waits for the next read.
    std::string& line = lines.front();
    size_t n = std::min(line.size(), capacity - 1);
    std::memcpy(buffer, line.data(), n);
    buffer[n] = '\0';
    line.erase(0, n);
    if (line.empty()) lines.pop_front();
    return platform::kOk;
  }
  int ReadKey() override {
    events.push_back("key after " + std::to_string(out.size()));
    return 'x';
  }
  int PlaceWindow(int x, int y, int width, int height) override {
    events.push_back("window " + std::to_string(x) + "," + std::to_string(y) + " " +
                     std::to_string(width) + "x" + std::to_string(height));
    return platform::kOk;
  }
  std::string out;
  std::deque<std::string> lines;
  std::vector<std::string> events;
};

// Moves its time by a fixed step on every sleep, and can set the wall clock
// back once the wait has begun.
class SteppingClock : public platform::Clock {
 public:
  explicit SteppingClock(uint32_t stepMs) : stepMs_(stepMs) {}
  uint64_t TickMs() override { return tickMs_; }
  int64_t WallSeconds() override { return wallMs_ / 1000; }
  void SleepMs(uint32_t) override {
    if (sleeps++ == 0) wallMs_ -= wallBackOnFirstSleep * 1000;
    tickMs_ += stepMs_;
    wallMs_ += stepMs_;
  }
  int sleeps = 0;
  int64_t wallBackOnFirstSleep = 0;  // seconds

 private:
  uint32_t stepMs_;
  uint64_t tickMs_ = 5000;
  int64_t wallMs_ = 1700000000000;
};

// The output of a counted step: "name1 / t\rname2 / t ... \r\n" for the
// values given, the last one closing the line when it equals the total.
std::string Counted(const char* name, const std::vector<int>& values, int total) {
  std::string s;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) s += "\r";
    s += name + std::to_string(values[i]) + " / " + std::to_string(total);
  }
  if (!values.empty() && values.back() == total) s += "\r\n";
  return s;
}

std::vector<int> Range(int first, int last) {
  std::vector<int> v;
  for (int i = first; i <= last; ++i) v.push_back(i);
  return v;
}

// What a failing step's code means, on the line before "Error: %i".
const char kOtherDevice[] = "    Image is for another device: this one takes 100017001\r\n";
const char kLost[] = "    Device error: device closed the connection\r\n";

std::string FileLines(int device, int bytes, const char* version) {
  return "    Intended Device:    " + std::to_string(device) +
         "\r\n    Bytes in Image:     " + std::to_string(bytes) +
         "\r\n    FW Version in file: " + version + "\r\n";
}

class UpgradeTest : public ::testing::Test {
 protected:
  std::string Image(uint32_t bodyBytes, const char* name = "fw.bin") {
    PackedImage image;
    image.fwVersionBits = VersionBits(1.25f);
    image.body = GeneratedBody(bodyBytes, 11);
    return WriteImage(PackFirmware({image}, PackOptions()), name);
  }
  std::string WriteImage(const std::vector<uint8_t>& bytes, const char* name = "fw.bin") {
    std::string path = dir_.File(name);
    std::string error;
    EXPECT_TRUE(WriteFileBytes(path, bytes, &error)) << error;
    return path;
  }
  std::vector<uint8_t> Flash(uint32_t address, uint32_t length) {
    return device_.Flash(address, length);
  }
  bool FirmwareAreaUntouched() {
    return device_.model().flashEraseCount() == 0 && device_.model().flashWriteCount() == 0;
  }
  // Every request from the one after `after` good ones on fails.
  void FailAfter(int after, bool lost) {
    LinkFaults faults;
    faults.after = after;
    faults.drop = lost;
    faults.noAnswer = !lost;
    device_.SetFaults(faults);
  }
  // A connection of its own for each further run: the final check closes
  // the one it was given.
  int OpenUsb() {
    int handle = 0;
    EXPECT_EQ(QXM_Open("z5 device type", "usb", "any identifier", &handle), 0);
    return handle;
  }
  static std::string Head(const char* fw, const char* bl) {
    return std::string(
               "Beginning upgrade process\r\n\rChecking Quenlox Device\r\n    Current FW: ") +
           fw + ", BL: " + bl + "\r\nChecking Upgrade File\r\n";
  }

  // The clock first: the device's restart runs on it.
  platform::FakeClock clock_;
  platform::ScopedClock scopedClock_{&clock_};
  BenchDevice device_;
  ScriptedConsole console_;
  platform::ScopedConsole scopedConsole_{&console_};
  TempDir dir_;
};

// --- The whole run ------------------------------------------------------------------

TEST_F(UpgradeTest, AWholeUpgradePrintsTheDialogueAndLeavesTheImageInFlash) {
  std::string path = Image(8192);
  RunUpgrade(device_.Handle(), (path + "\n").c_str());

  std::string waiting;
  std::vector<int> seconds;
  for (int s = 0; s < 14; ++s) {
    for (int slice = 0; slice < 10; ++slice) seconds.push_back(s);
  }
  seconds.push_back(14);
  std::string expected = Head("1.0000", "0.9000") + FileLines(100017001, 8192, "1.2500") +
                         Counted("Erasing: ", Range(1, 120), 120) + "Erasing Info Page\r\n" +
                         Counted("Writing: ", {1, 2}, 2) + "Writing Info Page\r\nRestarting\r\n" +
                         Counted("Waiting: ", seconds, 14) +
                         "Final Check\r\n    Current FW: 1.2500, BL: 0.9000\r\n";
  EXPECT_EQ(expected, console_.out);

  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(ReadFileBytes(path, &file, &error));
  EXPECT_EQ(std::vector<uint8_t>(file.begin() + 128, file.end()), Flash(kFirmwareBase, 8192));
  EXPECT_EQ(std::vector<uint8_t>(118 * 4096, 0xFF), Flash(kFirmwareBase + 8192, 118 * 4096));
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 4096), Flash(kInfoPageBase, 4096));

  const std::vector<uint32_t> erased = device_.recorder().WrittenU32(kRegFlashErase);
  ASSERT_EQ(121u, erased.size());
  for (uint32_t i = 0; i < 120; ++i) EXPECT_EQ(kFirmwareBase + i * 4096, erased[i]);
  EXPECT_EQ(kInfoPageBase, erased[120]);
  EXPECT_EQ(1, device_.restarts());
  EXPECT_EQ(1.25f, device_.model().firmwareVersion());
  EXPECT_EQ(140u, clock_.sleepCount());
  // The final check reopened the device on USB.
  ASSERT_EQ(1u, device_.OpenCalls().size());
  EXPECT_EQ("z5 device type", device_.OpenCalls()[0].deviceType);
  EXPECT_EQ("usb", device_.OpenCalls()[0].connectionType);
  EXPECT_EQ("any identifier", device_.OpenCalls()[0].identifier);
  // The old handle was closed first, and the final check's own after it.
  EXPECT_EQ(0u, device_.OpenHandleCount());
}

TEST_F(UpgradeTest, TheVersionsAreReadInOneExchangeOfTwoFrames) {
  std::string path = Image(4096);
  FirmwareFile file(path.c_str());
  ResetUpgradeRun();
  int done = 0, progress = -1, total = -1;
  ASSERT_EQ(0, UpgradeStep(device_.Handle(), file, &done, &progress, &total));
  ASSERT_EQ(1u, device_.ExchangeCount());
  const std::vector<uint8_t> request = {0, 0,    0,    0, 0, 10,   0,    76,
                                        0, 0xEA, 0x64, 2, 0, 0xEA, 0x66, 2};
  EXPECT_EQ(request, device_.Requests()[0]);
  EXPECT_EQ(CheckingFile, CurrentUpgradeRun().state);
  EXPECT_EQ(-1, progress) << "an uncounted step leaves the counter alone";
  EXPECT_EQ(0, done);
}

struct WaitCase {
  float bootloader;
  int32_t seconds;
};

TEST_F(UpgradeTest, TheBootloaderVersionChoosesTheWait) {
  const WaitCase cases[] = {
      {0.90f, 14}, {0.95f, 14}, {1.2f, 14}, {0.89f, 40}, {0.5f, 40}, {0.0f, 40},
  };
  std::string path = Image(4096);
  for (const WaitCase& c : cases) {
    SCOPED_TRACE(c.bootloader);
    device_.model().SetBootloaderVersion(c.bootloader);
    FirmwareFile file(path.c_str());
    ResetUpgradeRun();
    int done = 0, progress = 0, total = 0;
    ASSERT_EQ(0, UpgradeStep(device_.Handle(), file, &done, &progress, &total));
    EXPECT_EQ(c.seconds, CurrentUpgradeRun().waitSeconds);
    EXPECT_EQ(c.bootloader, CurrentUpgradeRun().bootloaderVersion);
  }
}

TEST_F(UpgradeTest, ALongWaitCountsToFortySeconds) {
  device_.model().SetBootloaderVersion(0.89f);
  RunUpgrade(device_.Handle(), Image(4096).c_str());
  EXPECT_NE(std::string::npos, console_.out.find("\rWaiting: 40 / 40\r\nFinal Check\r\n"));
  EXPECT_EQ(std::string::npos, console_.out.find("Waiting: 41"));
  EXPECT_EQ(400u, clock_.sleepCount());
}

// --- Partial pages ----------------------------------------------------------------------

struct TailCase {
  uint32_t bytes;
  int pages;
};

TEST_F(UpgradeTest, APartialLastPageIsWrittenPaddedWithErasedBytes) {
  const TailCase cases[] = {{4096, 1}, {5000, 2}, {5001, 2}, {8191, 2}, {8193, 3}};
  for (const TailCase& c : cases) {
    SCOPED_TRACE(c.bytes);
    device_.model().PokeFlash(kFirmwareBase, std::vector<uint8_t>(4 * 4096, 0));  // stale
    console_.out.clear();
    std::string path = Image(c.bytes);
    RunUpgrade(OpenUsb(), path.c_str());
    EXPECT_NE(std::string::npos,
              console_.out.find(Counted("Writing: ", Range(1, c.pages), c.pages) +
                                "Writing Info Page\r\n"));
    EXPECT_EQ(std::string::npos, console_.out.find("Error"));
    std::vector<uint8_t> body = GeneratedBody(c.bytes, 11);
    EXPECT_EQ(body, Flash(kFirmwareBase, c.bytes));
    uint32_t padding = c.pages * 4096 - c.bytes;
    EXPECT_EQ(std::vector<uint8_t>(padding, 0xFF), Flash(kFirmwareBase + c.bytes, padding));
    EXPECT_EQ(std::vector<uint8_t>{0xFF}, Flash(kFirmwareBase + c.pages * 4096, 1));
  }
}

// --- Refusals before the flash -------------------------------------------------------------

struct RefusalCase {
  const char* label;
  std::vector<uint8_t> content;  // empty: no file at all
  std::string lines;             // what the file check prints
  int32_t code;
};

TEST_F(UpgradeTest, TheFileCheckRefusesBeforeAnyPageIsTouched) {
  auto pack = [](uint32_t device, uint32_t bodyBytes, bool lengthGiven, uint32_t length) {
    PackedImage image;
    image.intendedDevice = device;
    image.fwVersionBits = VersionBits(2.5f);
    image.body = GeneratedBody(bodyBytes, 5);
    image.lengthGiven = lengthGiven;
    image.imageBytes = length;
    return PackFirmware({image}, PackOptions());
  };
  std::vector<uint8_t> notFirmware = pack(kIntendedDeviceCode, 8192, false, 0);
  notFirmware[0] = 'X';
  const RefusalCase cases[] = {
      {"no file",
       {},
       FileLines(0, 0, "0.0000") + "    File error: Could not find/open file\r\n",
       kUpgradeWrongDevice},
      {"not firmware", notFirmware,
       FileLines(0, 0, "0.0000") + "    File error: File does not appear to be QX Firmware\r\n",
       kUpgradeWrongDevice},
      {"another device", pack(100017002, 8192, false, 0),
       FileLines(100017002, 8192, "2.5000") + kOtherDevice, kUpgradeWrongDevice},
      {"device code 0", pack(0, 8192, false, 0), FileLines(0, 8192, "2.5000") + kOtherDevice,
       kUpgradeWrongDevice},
      {"empty body", pack(kIntendedDeviceCode, 0, false, 0),
       FileLines(100017001, 0, "2.5000") + "    Image is shorter than one flash page\r\n",
       kUpgradeImageTooShort},
      {"one byte short of a page", pack(kIntendedDeviceCode, 4095, false, 0),
       FileLines(100017001, 4095, "2.5000") + "    Image is shorter than one flash page\r\n",
       kUpgradeImageTooShort},
      {"length beyond the file", pack(kIntendedDeviceCode, 8192, true, 8193),
       FileLines(100017001, 8193, "2.5000") + "    Image runs past the end of the file\r\n",
       kUpgradeImageOutsideFile},
      {"length far beyond the file", pack(kIntendedDeviceCode, 4096, true, 0x7FFFFFFF),
       FileLines(100017001, 0x7FFFFFFF, "2.5000") +
           "    Image is larger than the firmware area\r\n",
       kUpgradeImageTooLarge},
      {"121 pages", pack(kIntendedDeviceCode, 120 * 4096 + 2, false, 0),
       FileLines(100017001, 120 * 4096 + 2, "2.5000") +
           "    Image is larger than the firmware area\r\n",
       kUpgradeImageTooLarge},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.label);
    console_.out.clear();
    std::string path =
        c.content.empty() ? dir_.File("none.bin") : WriteImage(c.content, "refused.bin");
    RunUpgrade(device_.Handle(), path.c_str());
    EXPECT_EQ(Head("1.0000", "0.9000") + c.lines + "Error: " + std::to_string(c.code),
              console_.out);
    EXPECT_TRUE(FirmwareAreaUntouched());
    EXPECT_EQ(CheckingFile, CurrentUpgradeRun().state);
  }
}

TEST_F(UpgradeTest, AnImageOfTheWholeFirmwareAreaPassesTheCheck) {
  std::string path = Image(120 * 4096);
  FirmwareFile file(path.c_str());
  ResetUpgradeRun();
  int done = 0, progress = 0, total = 0;
  ASSERT_EQ(0, UpgradeStep(device_.Handle(), file, &done, &progress, &total));
  ASSERT_EQ(0, UpgradeStep(device_.Handle(), file, &done, &progress, &total));
  EXPECT_EQ(Erasing, CurrentUpgradeRun().state);
  EXPECT_EQ(120u, CurrentUpgradeRun().pageCount);
  EXPECT_EQ(file.data() + 128, CurrentUpgradeRun().body);
  EXPECT_EQ(file.data(), CurrentUpgradeRun().header);
}

TEST_F(UpgradeTest, ABodyCutByTheEndOfTheFileIsNotReadPastIt) {
  // One page named, 96 bytes of it missing at the end of the file.
  std::vector<PackedImage> images(1);
  images[0].body = GeneratedBody(4096, 1);
  images[0].lengthGiven = true;
  images[0].imageBytes = 4096;
  PackOptions cut;
  cut.truncateTo = 128 + 4000;
  RunUpgrade(device_.Handle(), WriteImage(PackFirmware(images, cut)).c_str());
  EXPECT_NE(std::string::npos,
            console_.out.find("    Image runs past the end of the file\r\nError: 12347"));
  EXPECT_TRUE(FirmwareAreaUntouched());
}

// --- Failures on the way ---------------------------------------------------------------------

TEST_F(UpgradeTest, WithNoDeviceTheFirstStepFails) {
  RunUpgrade(-1, Image(4096).c_str());
  EXPECT_EQ(
      "Beginning upgrade process\r\n\rChecking Quenlox Device\r\n"
      "    Device error: no open device behind the handle\r\nError: " +
          std::to_string(QXM_ERR_INVALID_HANDLE),
      console_.out);
  EXPECT_EQ(CheckingDevice, CurrentUpgradeRun().state);
}

TEST_F(UpgradeTest, ADeviceLostWhileErasingStopsTheCountWhereItWas) {
  FailAfter(1 + 4, true);  // versions, then four erases
  RunUpgrade(device_.Handle(), Image(8192).c_str());
  EXPECT_EQ(Head("1.0000", "0.9000") + FileLines(100017001, 8192, "1.2500") +
                Counted("Erasing: ", Range(1, 5), 120) + "\r\n" + kLost + "Error: 1014",
            console_.out);
  EXPECT_EQ(4u, device_.model().flashEraseCount());
  EXPECT_EQ(1u + 5u, device_.ExchangeCount()) << "nothing after the failure";
  EXPECT_EQ(5u, CurrentUpgradeRun().erasedPages);
}

TEST_F(UpgradeTest, ADeviceLostWhileWritingEndsTheRunWithoutARestart) {
  // Versions, 120 erases, the info page's erase, then 59 chunks of page 1.
  FailAfter(1 + 120 + 1 + 59, true);
  RunUpgrade(device_.Handle(), Image(8192).c_str());
  std::string tail = "Erasing Info Page\r\nWriting: 1 / 2\r\n" + std::string(kLost) + "Error: 1014";
  ASSERT_GE(console_.out.size(), tail.size());
  EXPECT_EQ(tail, console_.out.substr(console_.out.size() - tail.size()));
  EXPECT_EQ(0, device_.restarts());
  EXPECT_EQ(Writing, CurrentUpgradeRun().state);
  EXPECT_EQ(1u, CurrentUpgradeRun().writtenPages);
  EXPECT_EQ(0u, clock_.sleepCount());
}

TEST_F(UpgradeTest, AFinalCheckWithoutTheDeviceReportsItsCode) {
  device_.FailOpens(QXM_ERR_REFUSED);
  RunUpgrade(device_.Handle(), Image(4096).c_str());
  // The old handle is closed and no new one came: the open's own code.
  std::string tail = "Final Check\r\n    Device error: connection refused\r\nError: " +
                     std::to_string(QXM_ERR_REFUSED);
  ASSERT_GE(console_.out.size(), tail.size());
  EXPECT_EQ(tail, console_.out.substr(console_.out.size() - tail.size()));
  EXPECT_EQ(FinalCheck, CurrentUpgradeRun().state);
}

// --- The wait -----------------------------------------------------------------------------------

TEST_F(UpgradeTest, AWaitCounterThatPassesItsTotalGetsNoLineEnd) {
  SteppingClock clock(3000);
  platform::ScopedClock scoped(&clock);
  RunUpgrade(device_.Handle(), Image(4096).c_str());
  EXPECT_NE(std::string::npos,
            console_.out.find("Restarting\r\n" + Counted("Waiting: ", {0, 3, 6, 9, 12, 15}, 14) +
                              "Final Check\r\n    Current FW: 1.2500, BL: 0.9000\r\n"));
  EXPECT_EQ(5, clock.sleeps);
}

TEST_F(UpgradeTest, AWallClockSetBackCannotStretchTheWait) {
  SteppingClock clock(100);
  platform::ScopedClock scoped(&clock);
  clock.wallBackOnFirstSleep = 3600;
  RunUpgrade(device_.Handle(), Image(4096).c_str());
  EXPECT_NE(std::string::npos, console_.out.find("Final Check\r\n    Current FW: 1.2500"));
  EXPECT_EQ(150, clock.sleeps) << "the wait plus one second of the monotonic clock";
}

// --- Runs one after another ----------------------------------------------------------------------

TEST_F(UpgradeTest, ASecondRunKeepsNothingOfTheFirstRunsFile) {
  RunUpgrade(device_.Handle(), Image(8192).c_str());
  ASSERT_EQ(std::string::npos, console_.out.find("Error"));
  uint64_t writes = device_.model().flashWriteCount();
  uint64_t erases = device_.model().flashEraseCount();
  console_.out.clear();
  RunUpgrade(OpenUsb(), dir_.File("missing.bin").c_str());
  EXPECT_EQ(Head("1.2500", "0.9000") + FileLines(0, 0, "0.0000") +
                "    File error: Could not find/open file\r\nError: 12345",
            console_.out);
  EXPECT_EQ(writes, device_.model().flashWriteCount());
  EXPECT_EQ(erases, device_.model().flashEraseCount());
  EXPECT_EQ(nullptr, CurrentUpgradeRun().body);
}

// --- The process entry
// -------------------------------------------------------------------------------

TEST_F(UpgradeTest, TheEntryAsksForThePathThenWaitsForAKeyThenPlacesTheWindow) {
  console_.lines.push_back(Image(4096) + "\n");
  EXPECT_EQ(0, QxtestEntry());
  const std::string prompt = "Enter full path to upgrade file:\r\nBeginning upgrade process\r\n";
  ASSERT_GE(console_.out.size(), prompt.size());
  EXPECT_EQ(prompt, console_.out.substr(0, prompt.size()));
  const std::string end = "    Current FW: 1.2500, BL: 0.9000\r\nPress any key";
  ASSERT_GE(console_.out.size(), end.size());
  EXPECT_EQ(end, console_.out.substr(console_.out.size() - end.size()));
  const std::vector<std::string> events = {
      "line", "key after " + std::to_string(console_.out.size()), "window 0,0 800x400"};
  EXPECT_EQ(events, console_.events);
  // The entry's own open and the final check's.
  EXPECT_EQ(2u, device_.OpenCalls().size());
  EXPECT_EQ("usb", device_.OpenCalls()[0].connectionType);
}

TEST_F(UpgradeTest, TheEntryGivenAFileAndNoWaitNeitherAsksNorWaits) {
  QxtestOptions options;
  std::string path = Image(4096);
  options.path = path.c_str();
  options.noWait = true;
  EXPECT_EQ(0, QxtestEntry(options));
  EXPECT_EQ(0u, console_.out.find("Beginning upgrade process\r\n"));
  const std::string end = "    Current FW: 1.2500, BL: 0.9000\r\n";
  ASSERT_GE(console_.out.size(), end.size());
  EXPECT_EQ(end, console_.out.substr(console_.out.size() - end.size()));
  EXPECT_EQ(std::vector<std::string>{"window 0,0 800x400"}, console_.events);
}

TEST_F(UpgradeTest, TheEntryWithNoInputStillEndsAfterItsKey) {
  EXPECT_EQ(1, QxtestEntry()) << "the upgrade did not complete";
  EXPECT_EQ("Enter full path to upgrade file:\r\n" + Head("1.0000", "0.9000") +
                FileLines(0, 0, "0.0000") +
                "    File error: Could not find/open file\r\nError: 12345Press any key",
            console_.out);
  EXPECT_TRUE(FirmwareAreaUntouched());
}

TEST_F(UpgradeTest, TheTypedPathLosesItsQuotesAndIsRefusedWhenItDoesNotFit) {
  std::string image = Image(4096);
  // 255 characters: the most the prompt's buffer holds.
  std::string longest = dir_.path() + "/" + std::string(254 - dir_.path().size(), 'a');
  const char kRefused[] =
      "Enter full path to upgrade file:\r\n"
      "The path is longer than 255 characters: refused, nothing was written\r\nPress any key";
  const struct {
    std::string typed;
    int status;
    std::string shows;
  } cases[] = {
      {"\"" + image + "\"\n", 0, "Final Check\r\n"},
      {"'" + image + "'\r\n", 0, "Final Check\r\n"},
      {"\"" + image + "\n", 1, "File error: Could not find/open file"},
      {longest + "\n", 1, "File error: Could not find/open file"},
      {longest + "b\n", 1, kRefused},
      {longest + std::string(300, 'b') + "\n", 1, kRefused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    console_.out.clear();
    console_.lines = {c.typed, "the next line\n"};
    uint64_t writes = device_.model().flashWriteCount();
    EXPECT_EQ(c.status, QxtestEntry());
    EXPECT_NE(std::string::npos, console_.out.find(c.shows)) << console_.out;
    if (c.status != 0) {
      EXPECT_EQ(writes, device_.model().flashWriteCount());
    }
    // The whole typed line was taken, and nothing after it.
    EXPECT_EQ(std::deque<std::string>{"the next line\n"}, console_.lines);
  }
}

// --- FlashImage
// -----------------------------------------------------------------------------------------

TEST_F(UpgradeTest, FlashImageWritesTheImageAndRestartsInOneCall) {
  std::string path = Image(5000);
  EXPECT_EQ(0, FlashImage(device_.Handle(), path.c_str()));
  EXPECT_EQ(GeneratedBody(5000, 11), Flash(kFirmwareBase, 5000));
  EXPECT_EQ(std::vector<uint8_t>(3192, 0xFF), Flash(kFirmwareBase + 5000, 3192));
  std::vector<uint8_t> file;
  std::string error;
  ASSERT_TRUE(ReadFileBytes(path, &file, &error));
  EXPECT_EQ(std::vector<uint8_t>(file.begin(), file.begin() + 4096), Flash(kInfoPageBase, 4096));
  EXPECT_EQ(121u, device_.model().flashEraseCount());
  EXPECT_EQ(1, device_.restarts());
  EXPECT_EQ(0u, clock_.sleepCount()) << "no wait";
  EXPECT_TRUE(console_.out.empty());
}

struct FlashImageCase {
  const char* label;
  std::vector<uint8_t> content;
  int32_t code;
};

TEST_F(UpgradeTest, FlashImageRefusesWhatCannotBeWrittenWithoutAnExchange) {
  PackedImage shortImage;
  shortImage.body = GeneratedBody(100, 1);
  PackedImage otherDevice;
  otherDevice.intendedDevice = 7;
  otherDevice.body = GeneratedBody(4096, 1);
  std::vector<uint8_t> cut = PackFirmware({shortImage}, PackOptions());
  cut.resize(60);
  const FlashImageCase cases[] = {
      {"no file", {}, kFileCannotOpen},
      {"cut header", cut, kFileInvalid},
      {"short body", PackFirmware({shortImage}, PackOptions()), kUpgradeImageTooShort},
  };
  for (const FlashImageCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::string path = c.content.empty() ? dir_.File("none.bin") : WriteImage(c.content, "f.bin");
    EXPECT_EQ(c.code, FlashImage(device_.Handle(), path.c_str()));
    EXPECT_EQ(0u, device_.ExchangeCount());
  }
  // No device-code check here.
  EXPECT_EQ(0, FlashImage(device_.Handle(),
                          WriteImage(PackFirmware({otherDevice}, PackOptions()), "o.bin").c_str()));
}

TEST_F(UpgradeTest, FlashImageStopsAtTheFirstFailingPhase) {
  FailAfter(30, false);
  EXPECT_EQ(QXM_ERR_REPLY_TIMEOUT, FlashImage(device_.Handle(), Image(8192).c_str()));
  EXPECT_EQ(30u, device_.model().flashEraseCount());
  EXPECT_EQ(31u, device_.ExchangeCount());
  EXPECT_EQ(0, device_.restarts());
}

}  // namespace
