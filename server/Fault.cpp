#include "server/Fault.h"

namespace tolvane::server {

namespace {

struct FaultText {
    Fault fault;
    const char* english;
    const char* chinese;
};

constexpr FaultText kTexts[] = {
    {Fault::EmptyText, "Empty text", "文本为空"},
    {Fault::TextNotUtf8, "Text is not valid UTF-8", "文本不是有效的UTF-8"},
    {Fault::BadParameter, "Bad parameter", "参数错误"},
    {Fault::UnknownJob, "Unknown or expired uuid", "任务不存在或已过期"},
    {Fault::SynthesisFailed, "Speech synthesis failed", "语音合成失败"},
    {Fault::UnknownUser, "Unknown user", "用户不存在"},
    {Fault::WrongPassword, "Wrong password", "密码错误"},
    {Fault::BadSession, "Unknown or expired verifytimeid, log in again", "登录已失效,请重新登录"},
    {Fault::UserMismatch, "user_id does not match the login", "user_id与登录用户不符"},
    {Fault::TooManySessions, "Too many users logged in, try again later",
     "登录用户过多,请稍后再试"},
    {Fault::UnknownFeed, "Unknown feed", "新闻源不存在"},
    {Fault::FeedUnavailable, "Feed unavailable", "新闻源暂不可用"},
    {Fault::BadRequest, "Bad request", "请求格式错误"},
    {Fault::Busy, "Server busy, try again later", "服务器忙,请稍后再试"},
    {Fault::ShuttingDown, "Server is shutting down", "服务器正在关闭"},
    {Fault::StoreUnavailable, "The server's shared store cannot be reached, try again later",
     "服务器的共享存储暂时无法访问,请稍后再试"},
};

} // namespace

std::string faultMessage(Fault fault, std::string_view language, std::string_view detail) {
    const bool chinese = language == "zh-CN";
    if (fault == Fault::TextTooLong) {
        const std::string limit(detail);
        return chinese ? "文本超过" + limit + "个字符"
                       : "Text longer than " + limit + " characters";
    }
    if (fault == Fault::LoginsSlowed) {
        const std::string seconds(detail);
        return chinese ? "登录失败次数过多,请" + seconds + "秒后再试"
                       : "Too many failed logins, try again in " + seconds + " s";
    }
    std::string message = "Error";
    for (const FaultText& text : kTexts) {
        if (text.fault == fault) {
            message = chinese ? text.chinese : text.english;
        }
    }
    if (!detail.empty()) {
        message += ": ";
        message += detail;
    }
    return message;
}

} // namespace tolvane::server
