// The synchronous HTTP client through which the service talks to the platform's REST
// server: every request gets its own libcurl easy handle, its status is checked and the
// body comes back in a stringstream. One instance is shared by the updater, the sleep
// mechanism and the parameter-request mechanism; the request operations read only
// members that are constant after construction, so any thread may call them at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

#include <curl/curl.h>
#include <json/json.h>

#include "core/logger.h"

namespace vyr {

// libcurl write callback: appends _size * _nmemb bytes to the std::stringstream that
// _userp points at and takes them all.
std::size_t callback_func(void* _contents, std::size_t _size, std::size_t _nmemb, void* _userp);

// The most bytes an answer body may have: a larger one is refused (its transfer fails,
// before a byte is read when the server announces the length).
constexpr std::size_t max_answer_bytes = 32u << 20;

// Spare bytes of capacity after a body received as text, for parsers that read whole
// blocks past its end.
constexpr std::size_t answer_padding = 64;

// The start of an answer body for a log record: at most a few hundred bytes, and the
// size of the whole when it was cut.
std::string body_excerpt(const std::string& _body);

namespace curl_handles {
struct easy_deleter {
    void operator()(CURL* _handle) const noexcept { curl_easy_cleanup(_handle); }
};
struct slist_deleter {
    void operator()(curl_slist* _list) const noexcept { curl_slist_free_all(_list); }
};
using easy_ptr = std::unique_ptr<CURL, easy_deleter>;
using slist_ptr = std::unique_ptr<curl_slist, slist_deleter>;
}  // namespace curl_handles

// How long one request may take in all, and the part of it that connecting may use, so
// that a dead server is reported before the total runs out. The defaults are the
// service's; tests shorten them so as not to wait out a hanging server.
struct request_timeouts {
    std::chrono::milliseconds total{10000};
    std::chrono::milliseconds connect{5000};
};

class c_server {
public:
    // Stores the values and makes sure libcurl's process-wide initialisation has run
    // (once per process; the first client must be built before worker threads start).
    // Throws vyr::libs::core::exception when libcurl cannot be initialised. A login with
    // a password is sent as HTTP basic authentication. HTTPS always verifies the peer's
    // certificate and host name, against `_ca_file` (a PEM bundle) when given, else
    // against the system's CAs. A request that outlasts `_timeouts` fails.
    c_server(const std::string& _module_name, const std::string& _protocol, const std::string& _address,
             const std::string& _login, const std::string& _password, std::uint32_t _port,
             libs::core::component_logger& _logger, const std::string& _ca_file = {},
             const request_timeouts& _timeouts = {});
    virtual ~c_server();
    c_server(const c_server&) = delete;
    c_server& operator=(const c_server&) = delete;

    // GET address + _url. Only HTTP 200 succeeds; anything else throws. Takes ownership
    // of _headers (may be null) and frees it whatever happens.
    std::stringstream curl_get_request(const std::string& _url, curl_slist* _headers) const;
    // As curl_get_request, but 401 and 404 return false (the body that came is left in
    // _answer); 200 returns true; any other status throws.
    bool try_curl_get_request(const std::string& _url, std::stringstream& _answer, curl_slist* _headers) const;
    // As curl_get_request, but the body comes as text, received into a buffer reserved
    // from the announced length (not copied as it grows) with answer_padding spare bytes.
    std::string curl_get_text(const std::string& _url, curl_slist* _headers) const;
    // As curl_get_text for one object: 404 (the object is gone) returns false, 200 true;
    // any other status throws.
    bool curl_get_object(const std::string& _url, std::string& _answer, curl_slist* _headers) const;

    // Parses a response body; throws "<_name>: parseFromStream <errors>" on failure.
    void parse_answer(const std::string& _name, std::stringstream& _answer, Json::Value& _result) const;

protected:
    libs::core::component_logger& m_logger;

    // Constant after construction.
    const std::string module_name;  // sent as User-Agent
    const std::string protocol;     // scheme used when a URL has none
    const std::string address;      // prefix of every request URL
    const std::string login;
    const std::string password;  // a secret: in no message
    const std::uint32_t port;    // 0 keeps the URL's own port
    const std::string ca_file;   // empty: the system's CAs
    const request_timeouts timeouts;

private:
    // One transfer: builds the handle, sets the options, performs it and returns the
    // HTTP status (GET only: the service reads the platform, it never writes to it).
    // Transfer failures throw "curl_easy_perform failed: <reason> (<detail>) URL=<url>".
    // A URL in a message never shows a password written into the address.
    long perform(const std::string& _url, curl_handles::slist_ptr _headers, std::string& _answer) const;
    long perform(const std::string& _url, curl_handles::slist_ptr _headers, std::stringstream& _answer) const;
    // The bounds of a transfer: body size, redirects (http and https only).
    static void set_bounds(CURL* _handle);
    [[noreturn]] void throw_status(const char* _operation, const std::string& _full_url, long _code) const;
};

}  // namespace vyr
