// JSON texts for ftbridge-ctl's --json output: pure functions, apart from the client.
#pragma once

#include <string>

// text as a JSON string, quotes included: valid JSON whatever bytes it holds.
std::string json_string(const std::string& text);

// v as a JSON number that reads back as the same double; null when it is not finite.
std::string json_number(double v);
