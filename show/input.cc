#include "input.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "aws_image.h"
#include "input_stream.h"
#include "label_text_file.h"
#include "tape_device.h"

namespace show {
namespace {

// Enough of a file's start to tell the two file formats apart.
constexpr size_t kHeadSize = 16;

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

InputKind KindOfFile(const std::string& path, uintmax_t size) {
  // An empty file is a blank tape, unless its name says label file.
  if (size == 0) return EndsWith(path, ".lbl") || EndsWith(path, ".prelbl") ? InputKind::kLabelFile : InputKind::kImage;
  InputStream in(path);
  std::string_view head = in.Peek(kHeadSize);
  if (LooksLikeLabelText(head)) return InputKind::kLabelFile;
  if (LooksLikeAwsImage(head)) return InputKind::kImage;
  throw InputError("neither a label text file (rows of hex bytes) nor an AWSTAPE image");
}

// The virtual drive answers for its device names without any file behind
// them, so a missing path under /dev is still tried as a drive.
InputKind DetectKind(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    if (path.rfind("/dev/", 0) == 0) return InputKind::kDevice;
    throw InputError(std::strerror(errno));
  }
  if (S_ISCHR(st.st_mode)) return InputKind::kDevice;
  if (S_ISREG(st.st_mode)) return KindOfFile(path, static_cast<uintmax_t>(st.st_size));
  // Telling a pipe's kind would use up what the reader needs.
  if (S_ISFIFO(st.st_mode)) throw InputError("a pipe: name what it carries with -k image or -k label-file");
  throw InputError("not a tape device, tape image or label text file");
}

}  // namespace

std::optional<InputKind> ParseKind(const std::string& name) {
  if (name == "device") return InputKind::kDevice;
  if (name == "image") return InputKind::kImage;
  if (name == "label-file") return InputKind::kLabelFile;
  return std::nullopt;
}

InputKind ResolveKind(const std::string& path, std::optional<InputKind> forced) {
  return forced ? *forced : DetectKind(path);
}

LabelSet ReadInput(const std::string& path, InputKind kind) {
  switch (kind) {
    case InputKind::kDevice:
      return ReadTapeDevice(path);
    case InputKind::kImage:
      return ReadAwsImage(path);
    case InputKind::kLabelFile:
      return ReadLabelTextFile(path);
  }
  throw InputError("unknown input kind");
}

}  // namespace show
