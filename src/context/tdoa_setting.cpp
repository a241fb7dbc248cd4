#include "context/tdoa_setting.h"

#include <algorithm>

#include "core/json.h"
#include "redis/transaction.h"

namespace vyr::context {

namespace {

bool is_slot(const Json::Value& _object, const char* _name) {
    return _object.isMember(_name) && _object[_name].isUInt();
}

bool is_text(const Json::Value& _object, const char* _name) {
    return _object.isMember(_name) && _object[_name].isString();
}

}  // namespace

// One transaction each: the document and the kind set change together.
void tdoa_setting::update(const Json::Value& _j_value) {
    redis::batch writes;
    writes.add("SET", keys::uid(m_uid), vyr::libs::core::json::to_string(_j_value));
    add_to_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

void tdoa_setting::remove() {
    redis::batch writes;
    writes.add("DEL", keys::uid(m_uid));
    remove_from_set(writes);
    common::raise_mirror_version(writes, {keys::change(m_uid)});
    vyr::redis::transaction(m_redis_context, writes).exec();
}

bool tdoa_setting::retrieve_value_from_redis() const {
    auto document = decode(common::text_of(m_redis_context.command("GET", keys::uid(m_uid))));
    if (!document)
        return false;
    m_j_value = std::move(*document);
    return true;
}

std::optional<Json::Value> tdoa_setting::decode(const std::optional<std::string>& _text) {
    if (!_text)
        return std::nullopt;
    auto parsed = vyr::libs::core::json::try_parse(*_text);
    if (!parsed.ok)
        return std::nullopt;
    return std::move(parsed.result);
}

std::optional<std::reference_wrapper<const Json::Value>> tdoa_setting::values() const {
    const auto* object = view().values();
    if (!object)
        return std::nullopt;
    return std::cref(*object);
}

tdoa_setting_view tdoa_setting::view() const {
    if (!m_j_value)
        retrieve_value_from_redis();
    return tdoa_setting_view(m_j_value ? &*m_j_value : nullptr);
}

tdoa_setting_view::tdoa_setting_view(const Json::Value* _document) {
    if (!_document || !_document->isObject())
        return;
    static constexpr std::string_view s_values = "values";
    const auto* values = _document->find(s_values.data(), s_values.data() + s_values.size());
    if (values && values->isObject())
        m_values = values;
}

const Json::Value* tdoa_setting_view::member(std::string_view _name) const {
    if (!m_values)
        return nullptr;
    return m_values->find(_name.data(), _name.data() + _name.size());
}

std::optional<std::string_view> tdoa_setting_view::get_active_schedule_uid() const {
    const auto* value = member("active_schedule_uid");
    const char* begin = nullptr;
    const char* end = nullptr;
    if (!value || !value->isString() || !value->getString(&begin, &end))
        return std::nullopt;
    return std::string_view(begin, static_cast<std::size_t>(end - begin));
}

std::optional<bool> tdoa_setting_view::get_autostart() const {
    const auto* value = member("autostart");
    if (!value || !value->isBool())
        return std::nullopt;
    return value->asBool();
}

std::optional<bool> tdoa_setting_view::get_configured_state() const {
    const auto* value = member("configured_state");
    if (!value || !value->isBool())
        return std::nullopt;
    return value->asBool();
}

std::optional<tdoa_setting_view::master> tdoa_setting_view::to_master(const Json::Value& _element) {
    if (!_element.isObject() || !is_text(_element, "anchor_uid") || !is_slot(_element, "sfd") ||
        !is_slot(_element, "slot"))
        return std::nullopt;
    return master{_element["anchor_uid"].asString(), _element["sfd"].asUInt(), _element["slot"].asUInt()};
}

std::optional<tdoa_setting_view::distributor> tdoa_setting_view::to_distributor(const Json::Value& _element) {
    if (!_element.isObject() || !is_text(_element, "anchor_uid") || !is_slot(_element, "slot"))
        return std::nullopt;
    distributor result;
    result.anchor_uid = _element["anchor_uid"].asString();
    if (is_text(_element, "master_uid"))
        result.master_uid = _element["master_uid"].asString();
    result.slot = _element["slot"].asUInt();
    return result;
}

std::optional<std::vector<tdoa_setting_view::master>> tdoa_setting_view::get_masters() const {
    const auto* array = member("masters");
    if (!array || !array->isArray())
        return std::nullopt;
    std::vector<master> result;
    for (const auto& element : *array)
        if (auto one = to_master(element))
            result.push_back(std::move(*one));
    return result;
}

std::optional<std::vector<tdoa_setting_view::distributor>> tdoa_setting_view::get_distributors() const {
    const auto* array = member("distributors");
    if (!array || !array->isArray())
        return std::nullopt;
    std::vector<distributor> result;
    for (const auto& element : *array)
        if (auto one = to_distributor(element))
            result.push_back(std::move(*one));
    return result;
}

const Json::Value* tdoa_setting_view::find_by_anchor(std::string_view _array, std::string_view _anchor_uid) const {
    const auto* array = member(_array);
    if (!array || !array->isArray())
        return nullptr;
    for (const auto& element : *array)
        if (element.isObject() && is_text(element, "anchor_uid") && element["anchor_uid"].asString() == _anchor_uid)
            return &element;
    return nullptr;
}

std::optional<tdoa_setting_view::master> tdoa_setting_view::get_master(std::string_view _anchor_uid) const {
    // Only the first element with the uid counts, even when it is incomplete.
    const auto* element = find_by_anchor("masters", _anchor_uid);
    return element ? to_master(*element) : std::nullopt;
}

std::optional<tdoa_setting_view::distributor> tdoa_setting_view::get_distributor(std::string_view _anchor_uid) const {
    const auto* element = find_by_anchor("distributors", _anchor_uid);
    return element ? to_distributor(*element) : std::nullopt;
}

std::optional<std::uint32_t> tdoa_setting_view::get_max_slot() const {
    const auto masters = get_masters();
    if (!masters)
        return std::nullopt;
    std::uint32_t max_slot = 0;
    for (const auto& one : *masters)
        max_slot = std::max(max_slot, one.slot);
    if (const auto distributors = get_distributors())
        for (const auto& one : *distributors)
            max_slot = std::max(max_slot, one.slot);
    return max_slot;
}

tdoa_setting_roles::tdoa_setting_roles(const tdoa_setting_view& _setting) : m_max_slot(_setting.get_max_slot()) {
    const auto index = [&](std::string_view _array, std::unordered_map<std::string_view, const Json::Value*>& _by_uid) {
        const auto* array = _setting.member(_array);
        if (!array || !array->isArray())
            return;
        for (const auto& element : *array) {
            const char* begin = nullptr;
            const char* end = nullptr;
            if (element.isObject() && is_text(element, "anchor_uid") && element["anchor_uid"].getString(&begin, &end))
                _by_uid.emplace(std::string_view(begin, static_cast<std::size_t>(end - begin)), &element);
        }
    };
    index("masters", m_masters);
    index("distributors", m_distributors);
}

std::optional<tdoa_setting_view::master> tdoa_setting_roles::master_of(std::string_view _anchor_uid) const {
    const auto found = m_masters.find(_anchor_uid);
    return found == m_masters.end() ? std::nullopt : tdoa_setting_view::to_master(*found->second);
}

std::optional<tdoa_setting_view::distributor> tdoa_setting_roles::distributor_of(std::string_view _anchor_uid) const {
    const auto found = m_distributors.find(_anchor_uid);
    return found == m_distributors.end() ? std::nullopt : tdoa_setting_view::to_distributor(*found->second);
}

}  // namespace vyr::context
