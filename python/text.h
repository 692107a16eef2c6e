// Padding helpers and the control table of the camera's text form.
#ifndef VORN_KYR_TEXT_H
#define VORN_KYR_TEXT_H

#include <sstream>
#include <string>
#include <vector>

#include "records.h"

namespace vorn_kyr {
namespace internal {

// "|*" or "| ", then width - 1 blanks when width is 3 or more.
std::ostringstream& append_bool(std::ostringstream& stream, bool value, int width);
// Length of the longest string; 0 for none.
size_t max_size(const std::vector<std::string>& strings);
// Appends blanks up to width characters; never cuts.
void fix_length(std::string& text, int width);
void fix_lengths(std::vector<std::string>& texts, int width);

// The control table: header, "--" line and one row per control, in the
// list's order.
std::string controls_table(const std::vector<Controllable>& controls);

}  // namespace internal
}  // namespace vorn_kyr

#endif
