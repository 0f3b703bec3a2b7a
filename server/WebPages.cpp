#include "server/WebPages.h"

#include <array>

namespace tolvane::server {

namespace {

constexpr std::string_view kHome = R"(<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>Tolvane</title></head>
<body>
<h1>Tolvane</h1>
<p>Tolvane reads text aloud. Type or paste text into the desktop client and press
Play Now: this server turns it into speech and the client plays it. The client can
also read your news feeds item by item.</p>
<p>Feedback: <a href="/intl/en-US/feedback.html">English</a> |
<a href="/intl/zh-CN/feedback.html">中文</a></p>
<p>Support: <a href="mailto:support@tolvane.local">support@tolvane.local</a></p>
</body>
</html>
)";

constexpr std::string_view kFeedbackEnglish = R"(<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>Tolvane feedback</title></head>
<body>
<h1>Feedback</h1>
<p>Tell us what works and what does not: send an e-mail to
<a href="mailto:support@tolvane.local">support@tolvane.local</a>. Please say which
version of the client you use (Help, About) and, for a problem, what you did and
what you heard.</p>
<p><a href="/">Tolvane home</a></p>
</body>
</html>
)";

constexpr std::string_view kFeedbackChinese = R"(<!DOCTYPE html>
<html lang="zh-CN">
<head><meta charset="utf-8"><title>Tolvane 用户反馈</title></head>
<body>
<h1>用户反馈</h1>
<p>欢迎提出意见和建议：请发送电子邮件至
<a href="mailto:support@tolvane.local">support@tolvane.local</a>。请注明您使用的客户端版本
（帮助，关于），如遇问题，请说明您的操作和听到的内容。</p>
<p><a href="/">Tolvane 主页</a></p>
</body>
</html>
)";

constexpr std::array kPages = {
    WebPage{"/", kHome},
    WebPage{"/intl/en-US/feedback.html", kFeedbackEnglish},
    WebPage{"/intl/zh-CN/feedback.html", kFeedbackChinese},
};

} // namespace

std::span<const WebPage> webPages() {
    return kPages;
}

} // namespace tolvane::server
