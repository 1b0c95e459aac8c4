#include "e2e.h"

#include <ctime>

namespace e2e {

using test_support::Block;
using test_support::Mark;

TapeRecord LabelBlock(std::string_view ascii) { return Block(test_support::Ebcdic(ascii)); }

const std::string kVol1Abc123 = Put(Record("VOL1ABC123"), 42, "OPERATIONS");
const std::string kVol1Marker = Put(Record("VOL1*UHL1*"), 42, "OPERATIONS");
const std::string kHdr1 =
    Put(Put(Put(Record("HDR1PAYROLL.2026"), 32, "0001"), 42, "025123 026123"), 61, "TAPESYS");
const std::string kHdr2 = Record("HDR2F0800000080 0");
const std::string kUhl1Abcd1234 = Record("UHL1ABCD1234");

std::vector<TapeRecord> SixCharacterTape(const std::string& vol1) {
  return {LabelBlock(vol1), LabelBlock(kHdr1), LabelBlock(kHdr2), Mark(), Mark()};
}

std::vector<TapeRecord> EightCharacterTape(const std::string& uhl1) {
  return {LabelBlock(kVol1Marker), LabelBlock(kHdr1), LabelBlock(kHdr2), LabelBlock(uhl1), Mark(), Mark()};
}

namespace {

std::string HexRow(std::string_view row, const char* format) {
  std::string out;
  char two[8];
  for (char c : row) {
    snprintf(two, sizeof two, format, static_cast<unsigned char>(c));
    out += two;
  }
  return out;
}

}  // namespace

std::string Dump(const std::vector<std::string>& records) {
  std::string out;
  for (size_t r = 0; r < records.size(); ++r) {
    for (int m = 0; m < 10; ++m) {
      out += "[" + std::to_string(r) + "][" + std::to_string(m) + "]:" +
             HexRow(std::string_view(records[r]).substr(m * 8, 8), " %02X") + "\n";
    }
  }
  return out;
}

std::string LabelFile(const std::vector<std::string>& records) {
  static const char* const kTags[] = {"VOL1", "HDR1", "HDR2", "UHL1"};
  std::string out;
  for (size_t r = 0; r < records.size(); ++r) {
    for (int m = 0; m < 10; ++m) {
      out += HexRow(std::string_view(records[r]).substr(m * 8, 8), "%02X,") + "   #" + (m == 0 ? kTags[r] : "") + "\n";
    }
  }
  return out;
}

std::string Preparation() { return "/dev/nst0 open; handle N\nrewind succeeded\nblocksize set to 0\n"; }

std::string BlocksRead(int blocks) {
  std::string out;
  for (int n = 1; n <= blocks; ++n) out += "block " + std::to_string(n) + " read to internal buffer\n";
  return out;
}

std::string Today() {
  time_t now = time(nullptr);
  struct tm utc {};
  gmtime_r(&now, &utc);
  char date[16];
  snprintf(date, sizeof date, "0%02d%03d", utc.tm_year % 100, utc.tm_yday + 1);
  return date;
}

std::string WithoutHandle(std::string err) {
  const std::string key = "open; handle ";
  for (size_t at = err.find(key); at != std::string::npos; at = err.find(key, at + 1)) {
    size_t digits = at + key.size();
    size_t end = err.find('\n', digits);
    err.replace(digits, end - digits, "N");
  }
  return err;
}

CommandResult VaklabelTest::Vaklabel(const std::vector<std::string>& args, const std::vector<std::string>& faults) {
  std::vector<std::string> argv = {test_support::BinaryPath("VTAPE"), "run", tape_};
  argv.insert(argv.end(), faults.begin(), faults.end());
  argv.push_back("--");
  argv.push_back(test_support::BinaryPath("VAKLABEL"));
  argv.insert(argv.end(), args.begin(), args.end());
  return test_support::Run(argv);
}

void VaklabelTest::LoadTape(const std::vector<TapeRecord>& records) { test_support::WriteAwsFile(tape_, records); }

std::vector<TapeRecord> VaklabelTest::Tape() const { return test_support::ReadAwsFile(tape_); }

}  // namespace e2e
