// Which reader an argument goes to: a character device is a drive, a file
// that starts with a valid AWSTAPE header an image, one that starts with a
// row of hex bytes a label text file.
#pragma once

#include <optional>
#include <string>

#include "label_set.h"

namespace show {

/// `forced`, or what `path` looks like when `forced` is empty. Throws
/// InputError when it cannot be examined or looks like none of the three.
InputKind ResolveKind(const std::string& path, std::optional<InputKind> forced);

/// Reads `path` as `kind`; throws InputError when it cannot be read as one.
LabelSet ReadInput(const std::string& path, InputKind kind);

/// The kind a --kind argument names ("device", "image", "label-file"), or
/// none for "auto".
std::optional<InputKind> ParseKind(const std::string& name);

}  // namespace show
