// Sentences for the library's result codes, for messages a user reads.
#pragma once

#include <string>

namespace lep3tool {

// What a command's result code means ("the bridge did not answer within 7 seconds").
std::string describe_result(int code);
// What a firmware update's result code means, including the state it left behind.
std::string describe_update_result(int code);

} // namespace lep3tool
