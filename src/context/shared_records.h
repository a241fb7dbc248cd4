// Maps shared between the copies of a project snapshot. A snapshot is copied when it must
// be patched while another holder (a cycle judging with it) still reads the old one; a
// map of these types is then shared whole, and made the copy's own only when the patch
// changes it (copy on write), so a patch of the alarms does not copy the indexes of every
// device. shared_map is any map so shared; shared_records goes one step further for the
// records by uid, the bulk of a site: when its map must be copied, the copy costs a
// pointer per record, and a record changed in one copy is replaced there, never changed
// under the other. Reading is what unordered_map offers (shared_records: each entry seen
// as (uid, record)). Not thread-safe: like the snapshot that holds it, a map is changed
// only by its one owner before it is shared.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>

namespace vyr::context {

template <class Map>
class shared_map {
public:
    using key_type = typename Map::key_type;
    using mapped_type = typename Map::mapped_type;
    using value_type = typename Map::value_type;
    using const_iterator = typename Map::const_iterator;
    using iterator = const_iterator;

    shared_map() : m_map(std::make_shared<Map>()) {}
    shared_map(std::initializer_list<value_type> _values) : m_map(std::make_shared<Map>(_values)) {}

    const_iterator begin() const { return m_map->begin(); }
    const_iterator end() const { return m_map->end(); }
    std::size_t size() const { return m_map->size(); }
    bool empty() const { return m_map->empty(); }
    const_iterator find(const key_type& _key) const { return m_map->find(_key); }
    std::size_t count(const key_type& _key) const { return m_map->count(_key); }
    const mapped_type& at(const key_type& _key) const { return m_map->at(_key); }

    // Changes, each made to this map's own copy.
    template <class... Args>
    bool emplace(Args&&... _args) {
        return own().emplace(std::forward<Args>(_args)...).second;
    }
    std::size_t erase(const key_type& _key) { return m_map->count(_key) == 0 ? 0 : own().erase(_key); }
    mapped_type& operator[](const key_type& _key) { return own()[_key]; }
    void clear() { m_map = std::make_shared<Map>(); }
    // The map to change, made this one's own first.
    Map& own() {
        if (m_map.use_count() > 1)
            m_map = std::make_shared<Map>(*m_map);
        return *m_map;
    }

private:
    std::shared_ptr<Map> m_map;
};

template <class T>
class shared_records {
    using map_type = std::unordered_map<std::string, std::shared_ptr<T>>;

public:
    using key_type = std::string;
    using mapped_type = T;
    using value_type = std::pair<const std::string&, const T&>;

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = shared_records::value_type;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = value_type;

        const_iterator() = default;
        explicit const_iterator(typename map_type::const_iterator _at) : m_at(_at) {}
        value_type operator*() const { return {m_at->first, *m_at->second}; }
        const_iterator& operator++() {
            ++m_at;
            return *this;
        }
        bool operator==(const const_iterator& _other) const { return m_at == _other.m_at; }
        bool operator!=(const const_iterator& _other) const { return m_at != _other.m_at; }

    private:
        typename map_type::const_iterator m_at;
    };

    shared_records() = default;
    shared_records(std::initializer_list<std::pair<const std::string, T>> _records) {
        for (const auto& [uid, record] : _records)
            emplace(uid, record);
    }

    const_iterator begin() const { return const_iterator(m_records.begin()); }
    const_iterator end() const { return const_iterator(m_records.end()); }
    std::size_t size() const { return m_records.size(); }
    bool empty() const { return m_records.empty(); }
    std::size_t count(const std::string& _uid) const { return m_records.count(_uid); }
    // The record of `_uid`; nullptr when absent.
    const T* get(const std::string& _uid) const {
        const auto found = m_records.find(_uid);
        return found == m_records.end() ? nullptr : found->second.get();
    }
    const T& at(const std::string& _uid) const {
        const T* record = get(_uid);
        if (!record)
            throw std::out_of_range("shared_records::at: " + _uid);
        return *record;
    }

    // As unordered_map's: nothing happens when `_uid` is present.
    bool emplace(const std::string& _uid, T _record) {
        if (m_records.count(_uid) != 0)
            return false;
        m_records.emplace(_uid, std::make_shared<T>(std::move(_record)));
        return true;
    }
    std::size_t erase(const std::string& _uid) { return m_records.erase(_uid); }
    // The record of `_uid` to change, made this map's own first (a new one when absent).
    // The map is made this one's own before its record is looked at: a record is shared
    // with another copy only once their maps are apart.
    T& operator[](const std::string& _uid) {
        auto& slot = m_records.own()[_uid];
        if (!slot)
            slot = std::make_shared<T>();
        else if (slot.use_count() > 1)
            slot = std::make_shared<T>(*slot);
        return *slot;
    }

private:
    shared_map<map_type> m_records;
};

}  // namespace vyr::context
