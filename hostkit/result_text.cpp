#include "hostkit/result_text.h"

namespace lep3tool {

std::string describe_result(int code)
{
    switch (code) {
    case 0:
        return "success";
    case -1:
        return "the request could not be written to the bridge";
    case -2:
        return "the bridge did not answer within 7 seconds";
    case -3:
        return "the value is out of range";
    case -5:
        return "no place was given for the answer";
    case -6:
        return "the bridge is gone (unplugged)";
    case -9:
        return "the bridge answered a different command";
    case -10:
        return "the camera reported that the command failed";
    default:
        return "unexpected result " + std::to_string(code);
    }
}

std::string describe_update_result(int code)
{
    switch (code) {
    case 0:
        return "the bridge runs the new firmware";
    case -1:
        return "the bridge's user RBFO parameters could not be read before the update; nothing was changed";
    case -2:
        return "the bridge refused to restart into its bootloader; nothing was changed";
    case -3:
        return "the bootloader did not take the firmware image (no valid image file, or the transfer failed); "
               "the bridge waits in its bootloader: run the update again";
    case -4:
        return "the new firmware was written, but its serial device did not come back";
    case -5:
        return "the new firmware runs, but the user RBFO parameters could not be written back";
    default:
        return "unexpected update result " + std::to_string(code);
    }
}

} // namespace lep3tool
