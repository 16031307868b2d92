// The Info.plist reader, XML or binary.
#include "FuzzCheck.h"
#include "adapters/plist/PlistBundleInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zandorin;
    const adapters::PlistBundleInfo info(fuzz::bytes(data, size), "Info.plist");
    const auto value = info.stringValue("MCP_SERVER_URL");
    FUZZ_CHECK(!value || !info.loadError());
    FUZZ_CHECK(!value || value->find('\0') == std::string::npos);
    return 0;
}
