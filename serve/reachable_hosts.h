// Where clients elsewhere reach a server: the hosts an output prints in its addresses.
#pragma once

#include <string>
#include <vector>

namespace lep3tool::serve {

// The hosts of URLs for a server bound to address: the address itself (an IPv6 one in
// brackets) or, bound to every address, this machine's network addresses.
std::vector<std::string> reachable_hosts(const std::string &address);

} // namespace lep3tool::serve
