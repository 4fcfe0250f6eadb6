// Any bytes as a JSON text from a sample script, read for a key taken from
// the input. Input: a byte for the key's length (mod 16), the key, the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "json_lite.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t key_len = data[0] % 16;
    if (key_len > size - 1) key_len = size - 1;
    std::string key(reinterpret_cast<const char *>(data + 1), key_len);
    std::string json(reinterpret_cast<const char *>(data + 1 + key_len), size - 1 - key_len);

    std::string first = sim::json_string(json, key);
    std::vector<std::string> all = sim::json_strings(json, key);
    FUZZ_CHECK(first.size() <= json.size());
    FUZZ_CHECK(all.size() <= json.size());
    sim::json_number(json, key, -7);

    // Any text escaped into a value reads back as itself.
    std::string doc = "{\"k\":\"" + sim::json_escape(json) + "\",\"n\":" + json + "}";
    FUZZ_CHECK(sim::json_string(doc, "k") == json);
    std::vector<std::string> values = sim::json_strings(doc, "k");
    FUZZ_CHECK(!values.empty() && values.front() == json);
    return 0;
}
