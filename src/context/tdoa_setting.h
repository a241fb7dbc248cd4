// The TDOA setting record: one setting document of the project stored in Redis as JSON
// text, read through typed accessors. The document is read once, on first use, and kept
// by the object (a later change in Redis is seen only by a new object). A view bound to
// one Redis connection, used by its thread only. The fields themselves are read by
// tdoa_setting_view, from that document or from one held elsewhere (a project snapshot's).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <json/json.h>

#include "context/common.h"

namespace vyr::context {

struct tdoa_setting_keys : keys_base<tdoa_setting_keys> {
    static constexpr std::string_view s_prefix = "tdoa_settings";
    static constexpr std::string_view s_kind = "tdoa_setting";
    // The string holding the document.
    static std::string uid(std::string_view _uid) { return join_key({s_prefix, _uid}); }
    static std::string record_key(std::string_view _uid) { return uid(_uid); }
};

// The fields of a setting document, read from the document itself: a tdoa_setting reads
// them from the document it fetched, a project snapshot's reader from the document it
// holds. A view over a document that outlives it; any thread that owns the document.
class tdoa_setting_view {
public:
    struct master {
        std::string anchor_uid;
        std::uint32_t sfd = 0;
        std::uint32_t slot = 0;
    };
    struct distributor {
        std::string anchor_uid;
        std::optional<std::string> master_uid;
        std::uint32_t slot = 0;
    };

    // `_document` is the whole stored document (null, or not an object: no fields).
    explicit tdoa_setting_view(const Json::Value* _document);

    // The "values" object of the document; nothing when it has none. The accessors below
    // read inside it; elements of "masters" and "distributors" that are not objects or
    // lack a member are skipped.
    const Json::Value* values() const noexcept { return m_values; }
    // Points into the document.
    std::optional<std::string_view> get_active_schedule_uid() const;
    std::optional<bool> get_autostart() const;
    std::optional<bool> get_configured_state() const;
    // Nothing unless "masters" is an array.
    std::optional<std::vector<master>> get_masters() const;
    // The first master with that anchor uid; nothing when it lacks "sfd" or "slot".
    std::optional<master> get_master(std::string_view _anchor_uid) const;
    std::optional<std::vector<distributor>> get_distributors() const;
    std::optional<distributor> get_distributor(std::string_view _anchor_uid) const;
    // The largest slot of masters and distributors; nothing without a "masters" array.
    std::optional<std::uint32_t> get_max_slot() const;

private:
    friend class tdoa_setting_roles;
    const Json::Value* member(std::string_view _name) const;
    static std::optional<master> to_master(const Json::Value& _element);
    static std::optional<distributor> to_distributor(const Json::Value& _element);
    // The element of array `_array` whose "anchor_uid" is `_anchor_uid`, if any.
    const Json::Value* find_by_anchor(std::string_view _array, std::string_view _anchor_uid) const;

    const Json::Value* m_values = nullptr;
};

// The masters and distributors of one setting by anchor uid, as get_master and
// get_distributor find them (the first element of the uid, complete or not), and its
// largest slot: for a site of thousands of anchors, where a walk along both arrays for
// each anchor costs anchors x anchors. Points into the document, which must outlive it.
class tdoa_setting_roles {
public:
    explicit tdoa_setting_roles(const tdoa_setting_view& _setting);
    std::optional<tdoa_setting_view::master> master_of(std::string_view _anchor_uid) const;
    std::optional<tdoa_setting_view::distributor> distributor_of(std::string_view _anchor_uid) const;
    const std::optional<std::uint32_t>& max_slot() const noexcept { return m_max_slot; }

private:
    std::unordered_map<std::string_view, const Json::Value*> m_masters, m_distributors;
    std::optional<std::uint32_t> m_max_slot;
};

class tdoa_setting : public record<tdoa_setting_keys> {
public:
    using keys = tdoa_setting_keys;
    using master = tdoa_setting_view::master;
    using distributor = tdoa_setting_view::distributor;

    tdoa_setting(redis::connection& _redis_context, std::string _uid) : record(_redis_context, std::move(_uid)) {}

    // Stores the document (the cached one is not changed) and joins the kind set.
    void update(const Json::Value& _j_value);
    void remove();

    // Reads and parses the stored document into the cache; false (cache unchanged) when
    // it is missing or not valid JSON.
    bool retrieve_value_from_redis() const;
    // The document of the stored text; nothing when there is none or it is not JSON.
    static std::optional<Json::Value> decode(const std::optional<std::string>& _text);

    // The cached document's fields (fetched on first use); valid while this object lives.
    tdoa_setting_view view() const;
    // The "values" object of the document; nothing when there is no document or it has
    // no "values" object.
    std::optional<std::reference_wrapper<const Json::Value>> values() const;
    // As tdoa_setting_view's.
    std::optional<std::string_view> get_active_schedule_uid() const { return view().get_active_schedule_uid(); }
    std::optional<bool> get_autostart() const { return view().get_autostart(); }
    std::optional<bool> get_configured_state() const { return view().get_configured_state(); }
    std::optional<std::vector<master>> get_masters() const { return view().get_masters(); }
    std::optional<master> get_master(std::string_view _anchor_uid) const { return view().get_master(_anchor_uid); }
    std::optional<std::vector<distributor>> get_distributors() const { return view().get_distributors(); }
    std::optional<distributor> get_distributor(std::string_view _anchor_uid) const {
        return view().get_distributor(_anchor_uid);
    }
    std::optional<std::uint32_t> get_max_slot() const { return view().get_max_slot(); }

private:
    // Cache of the document, filled on first use.
    mutable std::optional<Json::Value> m_j_value;
};

}  // namespace vyr::context
