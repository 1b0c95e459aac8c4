#include "destroyed_data.h"

namespace library {
namespace {

std::string Count(long n, const std::string& what) {
  if (n == 0) return "no " + what;
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

}  // namespace

std::string DestroyedData(const std::optional<DrivePosition>& end_of_data, long kept_blocks) {
  if (!end_of_data || !end_of_data->eod || end_of_data->logical < 0) {
    return "whatever the tape held (the drive did not say where its data ends)";
  }
  long objects = end_of_data->logical;
  if (objects == 0) return "nothing: the end of data was at the start";
  std::string after_set = kept_blocks > 0 ? " after the label set" : "";
  // st counts the tape marks it passed on the way, unless told to space
  // there fast; READ POSITION counts blocks and marks together.
  int marks = end_of_data->file;
  if (marks < 0 || marks > objects) {
    return std::to_string(objects - kept_blocks) + " blocks and tape marks" + after_set;
  }
  long blocks = objects - marks - kept_blocks;
  if (kept_blocks > 0 && blocks <= 0) return "";
  return Count(blocks, "block") + " and " + Count(marks, "tape mark") + after_set;
}

}  // namespace library
