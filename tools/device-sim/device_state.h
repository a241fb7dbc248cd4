// What one simulated field device holds and how it takes the node commands of the
// service: the "#win" frame codec, the decoding of every parameter payload into the form
// the device reports it in ("plist" of a "#param_p" report), and the device's own
// parameter store. Pure values with no sockets or threads; a device_state belongs to
// whoever made it (the simulator keeps one per device under its own lock).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <json/json.h>

namespace vyr::devsim {

// One node command as the gateway receives it: "#win 080E" + sequence byte + body length
// + body ("000E" pushed or "000F" answer, then the payloads) + the 16-character MAC.
struct node_command {
    unsigned seq = 0;
    std::string code;                   // "000E", "000F"
    std::vector<std::string> payloads;  // each: type byte, length byte, value (hex text)
    std::string mac;

    // The code followed by the payloads, as the body of the frame.
    std::string body() const;
};

// Cuts a "#win " frame into its parts; nothing when it is not a well-formed node command
// (wrong prefix, a length that does not match, a payload running past the body).
std::optional<node_command> parse_win_frame(const std::string& _frame);

// The 16-character upper-case form of a MAC address (a 12-character one gets "FFFE" after
// its sixth character); nothing for any other length or a non-hexadecimal character.
std::optional<std::string> normalise_mac(std::string _mac);

// A sleep command (payload type 47): seconds left of the wait period, seconds to sleep.
struct sleep_order {
    unsigned wait = 0;
    std::uint32_t period = 0;
};

// One payload read the way a device takes it.
struct decoded_payload {
    enum kind_t {
        value,    // `name` takes `json` (in report form)
        query,    // the device is asked to report `name` as it holds it (3500)
        sleep,    // a sleep command (`sleep`)
        unknown,  // a type the device does not know, or a value of the wrong size
    };
    kind_t kind = unknown;
    std::string name;
    Json::Value json;
    sleep_order sleep_cmd;
};
decoded_payload decode_payload(const std::string& _payload);

// Parameter names a device reports (catalogue names), and which of them it asks for in
// its start-up request.
enum class device_kind { tag, anchor };
const std::vector<std::string>& known_parameters(device_kind _kind);
bool is_parameter_name(const std::string& _name);

class device_state {
public:
    // What a device reports after a command, and whatever else the command asked for.
    struct outcome {
        Json::Value report{Json::objectValue};  // the "plist" of the answer; empty: nothing to report
        std::optional<sleep_order> sleep;       // the command held a sleep order: confirm it
        std::vector<std::string> unknown;       // payloads the device did not understand
        std::vector<std::string> ignored;       // parameter names it received but did not apply
        std::vector<std::string> applied;       // parameter names it applied, in payload order
    };

    // A device fresh from the factory. `_ignore`: names it refuses (it never applies them
    // and answers each push with the value it holds); `_unsupported`: names it reports as
    // JSON null.
    explicit device_state(device_kind _kind = device_kind::tag, std::set<std::string> _ignore = {},
                          std::set<std::string> _unsupported = {});

    // Takes the payloads of one command in order. The report holds, for every parameter
    // the command touched, what it now holds (for a refused one: what it held before).
    outcome apply(const std::vector<std::string>& _payloads);

    // Everything it holds, in report form (unsupported parameters as null), leaving out
    // the confirmations (al_zv, scr_message) unless they are unsupported.
    Json::Value full_report() const;
    // The names of its start-up request: every parameter it knows that the service
    // answers, unsupported ones left out.
    Json::Value request_list() const;

    // What it holds for `_name` (null when unsupported or never known).
    Json::Value value(const std::string& _name) const;
    const Json::Value& values() const noexcept { return m_values; }
    std::optional<sleep_order> last_sleep() const noexcept { return m_sleep; }
    device_kind kind() const noexcept { return m_kind; }

private:
    device_kind m_kind;
    std::set<std::string> m_ignore;
    std::set<std::string> m_unsupported;
    Json::Value m_values{Json::objectValue};
    std::optional<sleep_order> m_sleep;
};

}  // namespace vyr::devsim
