// Any bytes as a message that an AP sent to acsim or cloudsim, and as the
// topic it came on. The answer is always a JSON object of a known type,
// and reading the message for people never throws.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ac_messages.h"
#include "cloud_messages.h"
#include "fuzz_support.h"

namespace {

void check_answer_text(const std::string &type, const sim::ordered_json &fields) {
    sim::ordered_json msg = {{"type", type}, {"sn", "AB12"}};
    for (auto it = fields.begin(); it != fields.end(); ++it) msg[it.key()] = it.value();
    FUZZ_CHECK(sim::text_field(sim::parse_object(sim::to_text(msg)), "type") == type);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::string payload(reinterpret_cast<const char *>(data), size);
    sim::json msg = sim::parse_object(payload);
    std::string type = sim::text_field(msg, "type");

    sim::AcAnswer ac = sim::ac_answer(msg, sim::AcPolicy{});
    if (ac.kind == sim::AcAnswer::Message) check_answer_text(ac.type, ac.fields);
    FUZZ_CHECK(ac.kind != sim::AcAnswer::Run || type == "state");
    sim::describe(sim::AcEvent{true, "AB12", type, payload});

    sim::CloudAnswer cloud = sim::cloud_answer(msg, sim::CloudPolicy{});
    FUZZ_CHECK(cloud.type.empty() == (type != "join" && type != "config"));
    if (!cloud.type.empty()) check_answer_text(cloud.type, cloud.fields);
    std::string kind = sim::message_kind(msg);
    FUZZ_CHECK(msg.is_object() || kind.empty());
    sim::describe(sim::CloudEvent{true, "AB12", "ostrel/AB12/event", kind, payload});
    sim::describe(sim::CloudEvent{false, "AB12", "ostrel/AB12/down", "download", payload});

    std::string sn, leaf;
    if (sim::split_topic(payload, "ostrel", &sn, &leaf))
        FUZZ_CHECK(payload == "ostrel/" + sn + "/" + leaf && !sn.empty() && !leaf.empty());
    return 0;
}
