#pragma once

#include <string>
#include <string_view>

namespace tolvane::server {

// Why a request failed; the number is the errcode the reply carries (grouped
// like the client's services: 1xx speech job, 3xx login, 4xx news, 9xx any).
enum class Fault {
    EmptyText = 101,
    TextTooLong = 102,
    TextNotUtf8 = 103,
    BadParameter = 104,
    UnknownJob = 105,
    SynthesisFailed = 106,
    UnknownUser = 301,
    WrongPassword = 302,
    BadSession = 303,
    UserMismatch = 304,
    TooManySessions = 305,
    LoginsSlowed = 306,
    UnknownFeed = 401,
    FeedUnavailable = 402,
    BadRequest = 900,
    Busy = 901,
    ShuttingDown = 902,
    StoreUnavailable = 903,
};

// The errmsg of `fault` in the request's language ("zh-CN" gives Chinese,
// anything else English), with `detail` appended (for TextTooLong: the limit;
// for LoginsSlowed: the seconds to wait).
std::string faultMessage(Fault fault, std::string_view language, std::string_view detail = {});

} // namespace tolvane::server
