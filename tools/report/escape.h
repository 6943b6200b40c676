// Text from a timing log is untrusted: these make it safe where it is shown.
#pragma once

#include <string>
#include <string_view>

namespace report {

// For a terminal: control characters (C0, DEL and the C1 controls a terminal
// may obey, such as ESC or CSI) and bytes that are not UTF-8 become visible
// escapes (\n, \t, \r, \xHH); printable text, UTF-8 included, is kept.
std::string ForTerminal(std::string_view s);

// For JSON text placed inside an HTML <script> element: '<', '>', '&',
// U+2028 and U+2029 become \u escapes, so that no "</script>", "<!--" or
// line separator can change where the element ends or how it parses.
// `json` must be a JSON document (these characters only occur inside its
// strings, where the escapes mean the same).
std::string ForScript(std::string_view json);

}  // namespace report
