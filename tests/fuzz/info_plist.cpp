// The Info.plist reader, XML or binary.
#include "FuzzCheck.h"
#include "adapters/plist/PlistBundleInfo.h"

using namespace zandorin;

FUZZ_TARGET(input) {
    const adapters::PlistBundleInfo info(input, "Info.plist");
    const auto value = info.stringValue("MCP_SERVER_URL");
    FUZZ_CHECK(!value || !info.loadError());
    FUZZ_CHECK(!value || value->find('\0') == std::string::npos);
}
