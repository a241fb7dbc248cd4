#include "platform/server.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "common/metrics.h"
#include "core/exception.h"

namespace vyr {

namespace {

// The kind of a failed transfer, as the metrics label it.
const char* failure_kind(CURLcode _code) {
    switch (_code) {
        case CURLE_OPERATION_TIMEDOUT: return "timeout";
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT: return "connect";
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE: return "tls";
        default: return "transfer";
    }
}

// Redirects followed at most for one request.
constexpr long s_max_redirects = 5;
// Bytes of a body that a log record shows.
constexpr std::size_t s_excerpt_bytes = 300;

// Where a transfer's body goes: the answer, until the body would pass max_answer_bytes.
// Its room is reserved once, from the announced length, when the first bytes come.
struct bounded_body {
    CURL* handle;
    std::string& answer;
    bool refused = false;
};

std::size_t bounded_write(void* _contents, std::size_t _size, std::size_t _nmemb, void* _userp) {
    auto& body = *static_cast<bounded_body*>(_userp);
    const std::size_t real_size = _size * _nmemb;
    if (real_size > max_answer_bytes - body.answer.size()) {
        body.refused = true;
        return 0;  // libcurl ends the transfer with a write error
    }
    if (body.answer.empty()) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(body.handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK && length > 0)
            body.answer.reserve(std::min(static_cast<std::size_t>(length), max_answer_bytes) + answer_padding);
    }
    body.answer.append(static_cast<const char*>(_contents), real_size);
    return real_size;
}

// libcurl's global state is set up once for the process, on first use. The first
// client is built by the application object before any worker thread starts, so the
// initialisation never races with a transfer; the matching clean-up runs at exit.
class curl_global {
public:
    curl_global() : m_code(curl_global_init(CURL_GLOBAL_ALL)) {}
    ~curl_global() {
        if (m_code == CURLE_OK)
            curl_global_cleanup();
    }
    CURLcode code() const noexcept { return m_code; }

private:
    CURLcode m_code;
};

void ensure_curl_global() {
    static const curl_global global;
    if (global.code() != CURLE_OK)
        VYR_THROW(curl_easy_strerror(global.code()));
}

// Every curl_easy_setopt goes through here: a refused option is a programming or
// library fault, reported with the option's name.
template <class T>
void set_option(CURL* _handle, CURLoption _option, T _value, const char* _name) {
    const CURLcode code = curl_easy_setopt(_handle, _option, _value);
    if (code != CURLE_OK)
        VYR_THROW(std::string("curl_easy_setopt(") + _name + ") failed: " + curl_easy_strerror(code));
}

// The URL as messages show it: a password written into it ("https://user:pw@host/")
// is left out.
std::string shown_url(const std::string& _url) {
    const auto scheme = _url.find("://");
    const auto start = scheme == std::string::npos ? 0 : scheme + 3;
    const auto authority_end = _url.find_first_of("/?#", start);
    const auto at = _url.rfind('@', authority_end == std::string::npos ? std::string::npos : authority_end);
    if (at == std::string::npos || at < start)
        return _url;
    const auto colon = _url.find(':', start);
    if (colon == std::string::npos || colon > at)
        return _url;
    return _url.substr(0, colon) + ":***" + _url.substr(at);
}

}  // namespace

std::size_t callback_func(void* _contents, std::size_t _size, std::size_t _nmemb, void* _userp) {
    const std::size_t real_size = _size * _nmemb;
    static_cast<std::stringstream*>(_userp)->write(static_cast<const char*>(_contents),
                                                   static_cast<std::streamsize>(real_size));
    return real_size;
}

std::string body_excerpt(const std::string& _body) {
    if (_body.size() <= s_excerpt_bytes)
        return _body;
    return _body.substr(0, s_excerpt_bytes) + "... (" + std::to_string(_body.size()) + " bytes)";
}

c_server::c_server(const std::string& _module_name, const std::string& _protocol, const std::string& _address,
                   const std::string& _login, const std::string& _password, std::uint32_t _port,
                   libs::core::component_logger& _logger, const std::string& _ca_file,
                   const request_timeouts& _timeouts)
    : m_logger(_logger),
      module_name(_module_name),
      protocol(_protocol),
      address(_address),
      login(_login),
      password(_password),
      port(_port),
      ca_file(_ca_file),
      timeouts(_timeouts) {
    ensure_curl_global();
}

c_server::~c_server() = default;

long c_server::perform(const std::string& _url, curl_handles::slist_ptr _headers, std::stringstream& _answer) const {
    std::string text;
    const long code = perform(_url, std::move(_headers), text);
    _answer.str(std::move(text));
    return code;
}

long c_server::perform(const std::string& _url, curl_handles::slist_ptr _headers, std::string& _answer) const {
    const std::string full_url = address + _url;
    curl_handles::easy_ptr handle(curl_easy_init());
    if (!handle)
        VYR_THROW("curl_handle == nullptr");
    CURL* h = handle.get();

    if (_headers)
        set_option(h, CURLOPT_HTTPHEADER, _headers.get(), "CURLOPT_HTTPHEADER");
    set_option(h, CURLOPT_URL, full_url.c_str(), "CURLOPT_URL");
    set_option(h, CURLOPT_USERAGENT, module_name.c_str(), "CURLOPT_USERAGENT");
    if (!protocol.empty())
        set_option(h, CURLOPT_DEFAULT_PROTOCOL, protocol.c_str(), "CURLOPT_DEFAULT_PROTOCOL");
    bounded_body body{h, _answer};
    set_option(h, CURLOPT_WRITEFUNCTION, &bounded_write, "CURLOPT_WRITEFUNCTION");
    set_option(h, CURLOPT_WRITEDATA, static_cast<void*>(&body), "CURLOPT_WRITEDATA");
    set_bounds(h);
    set_option(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeouts.total.count()), "CURLOPT_TIMEOUT_MS");
    set_option(h, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeouts.connect.count()), "CURLOPT_CONNECTTIMEOUT_MS");
    // Several threads make requests: time-outs must not be signalled with SIGALRM.
    set_option(h, CURLOPT_NOSIGNAL, 1L, "CURLOPT_NOSIGNAL");
    if (port != 0)
        set_option(h, CURLOPT_PORT, static_cast<long>(port), "CURLOPT_PORT");
    // Given apart, a login may hold a colon. libcurl sends them to this host only, not to
    // one that a redirect leads to.
    if (!login.empty() && !password.empty()) {
        set_option(h, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC), "CURLOPT_HTTPAUTH");
        set_option(h, CURLOPT_USERNAME, login.c_str(), "CURLOPT_USERNAME");
        set_option(h, CURLOPT_PASSWORD, password.c_str(), "CURLOPT_PASSWORD");
    }
    // libcurl's defaults, set all the same: nothing may turn them off.
    set_option(h, CURLOPT_SSL_VERIFYPEER, 1L, "CURLOPT_SSL_VERIFYPEER");
    set_option(h, CURLOPT_SSL_VERIFYHOST, 2L, "CURLOPT_SSL_VERIFYHOST");
    if (!ca_file.empty())
        set_option(h, CURLOPT_CAINFO, ca_file.c_str(), "CURLOPT_CAINFO");
    char detail[CURL_ERROR_SIZE] = "";
    set_option(h, CURLOPT_ERRORBUFFER, detail, "CURLOPT_ERRORBUFFER");

    const CURLcode code = curl_easy_perform(h);
    _headers.reset();
    if (code != CURLE_OK) {
        vyr::metrics::platform_request_failed(failure_kind(code));
        std::string message = "curl_easy_perform failed: ";
        message += curl_easy_strerror(code);
        // The detail says which certificate check failed, or why connecting did.
        if (detail[0] != '\0')
            message += std::string(" (") + detail + ")";
        if (body.refused || code == CURLE_FILESIZE_EXCEEDED)
            message += " (answer larger than " + std::to_string(max_answer_bytes) + " bytes refused)";
        message += " URL=" + shown_url(full_url);
        VYR_THROW(message);
    }
    long response_code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response_code);
    return response_code;
}

void c_server::set_bounds(CURL* _handle) {
    set_option(_handle, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(max_answer_bytes),
               "CURLOPT_MAXFILESIZE_LARGE");
    set_option(_handle, CURLOPT_FOLLOWLOCATION, 1L, "CURLOPT_FOLLOWLOCATION");
    set_option(_handle, CURLOPT_MAXREDIRS, s_max_redirects, "CURLOPT_MAXREDIRS");
    set_option(_handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https", "CURLOPT_REDIR_PROTOCOLS_STR");
}

void c_server::throw_status(const char* _operation, const std::string& _full_url, long _code) const {
    vyr::metrics::platform_request_failed(_code >= 500 ? "http_5xx" : _code >= 400 ? "http_4xx" : "http_other");
    VYR_THROW(std::string(_operation) + ": request \"" + _full_url + "\" returns code " + std::to_string(_code));
}

std::stringstream c_server::curl_get_request(const std::string& _url, curl_slist* _headers) const {
    curl_handles::slist_ptr headers(_headers);
    std::stringstream answer;
    const long code = perform(_url, std::move(headers), answer);
    if (code != 200)
        throw_status("curl_get_request", shown_url(address + _url), code);
    return answer;
}

bool c_server::try_curl_get_request(const std::string& _url, std::stringstream& _answer,
                                    curl_slist* _headers) const {
    curl_handles::slist_ptr headers(_headers);
    const long code = perform(_url, std::move(headers), _answer);
    if (code == 200)
        return true;
    if (code == 401 || code == 404)
        return false;
    throw_status("try_curl_get_request", shown_url(address + _url), code);
}

std::string c_server::curl_get_text(const std::string& _url, curl_slist* _headers) const {
    curl_handles::slist_ptr headers(_headers);
    std::string answer;
    const long code = perform(_url, std::move(headers), answer);
    if (code != 200)
        throw_status("curl_get_request", shown_url(address + _url), code);
    if (answer.capacity() < answer.size() + answer_padding)
        answer.reserve(answer.size() + answer_padding);
    return answer;
}

bool c_server::curl_get_object(const std::string& _url, std::string& _answer, curl_slist* _headers) const {
    curl_handles::slist_ptr headers(_headers);
    const long code = perform(_url, std::move(headers), _answer);
    if (_answer.capacity() < _answer.size() + answer_padding)
        _answer.reserve(_answer.size() + answer_padding);
    if (code == 200)
        return true;
    if (code == 404)
        return false;
    throw_status("curl_get_object", shown_url(address + _url), code);
}

void c_server::parse_answer(const std::string& _name, std::stringstream& _answer, Json::Value& _result) const {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::string errors;
    if (!Json::parseFromStream(builder, _answer, &_result, &errors)) {
        vyr::metrics::platform_request_failed("malformed");
        VYR_THROW(_name + ": parseFromStream " + errors);
    }
}

}  // namespace vyr
