#include "ui/core/UiTextTable.h"

#include "platform/Text.h"

#include <array>
#include <cstdio>

namespace tolvane {

namespace {

struct Texts {
    std::string_view en;
    std::string_view zh;
};

constexpr std::array<Texts, UiTextTable::kSlotCount> kTexts{{
    {"Input text below, press Read button ...", "在下面文本框里面输入文本,点击朗读按钮"},
    {"Please input text here, press Read button", "请在此输入文本,然后点击朗读按钮"},
    {"Double click Play", "双击播放"},
    {"Text Area is empty, please input text, then read again",
     "文本框没有输入问题,请输入后,再朗读"},
    {"Ready ...", "就绪 ..."},
    {"Initialing ...", "初始化中 ..."},
    {"Playing ...", "播放中 ..."},
    {"Resume", "继续"},
    {"Pause", "暂停"},
    {"Paused", "已暂停"},
    {"Play Now", "现在播放"},
    {"Stop", "停止"},
    {"Stopped", "已停止"},
    {"Completed", "播放完成"},
    {"Feedback", "用户反馈"},
    {"Warn", "警告"},
    {"Error", "错误"},
    {"Online[%d]", "在线[%d]"},
    {"Offline[%d]", "非在线[%d]"},
    {"Buffering, %d %%", "缓存中, %d %%"},
    {"Playing, %3i kbs", "播放中, %3i kbs"},
    {"/intl/en-US/feedback.html", "/intl/zh-CN/feedback.html"},
    {"Open Text…", "打开文本..."},
    {"Save Speech As…", "保存语音..."},
    {"Open Text", "打开文本"},
    {"Documents and text (*.txt *.text *.pdf *.epub *.html *.htm *.xhtml *.docx *.odt);;"
     "Text files (*.txt *.text);;PDF documents (*.pdf);;EPUB books (*.epub);;"
     "Web pages (*.html *.htm *.xhtml);;DOCX documents (*.docx);;ODT documents (*.odt);;"
     "All files (*)",
     "文档和文本 (*.txt *.text *.pdf *.epub *.html *.htm *.xhtml *.docx *.odt);;"
     "文本文件 (*.txt *.text);;PDF 文档 (*.pdf);;EPUB 电子书 (*.epub);;"
     "网页 (*.html *.htm *.xhtml);;DOCX 文档 (*.docx);;ODT 文档 (*.odt);;所有文件 (*)"},
    {"Save Speech As", "保存语音"},
    {"MP3 audio (*.mp3)", "MP3 音频 (*.mp3)"},
    {"Text loaded: ", "已载入文本: "},
    {"The file is longer than %d characters; it is read in parts", "文件超过 %d 个字符,将分段朗读"},
    {"Cannot read the file", "无法读取文件"},
    {"The file is neither a document nor text in UTF-8 or the system's character set",
     "文件既不是文档,也不是 UTF-8 或系统字符集的文本"},
    {"Speech saved: ", "语音已保存: "},
    {"Cannot save the speech", "无法保存语音"},
    {"&Read", "朗读(&R)"},
    {"Read From Here", "从此处朗读"},
    {"Previous Sentence", "上一句"},
    {"Next Sentence", "下一句"},
    {"Reconnect", "重新连接"},
    {"There is no text to read", "没有要朗读的文本"},
    {"The clipboard holds no text to read", "剪贴板中没有可朗读的文本"},
    {"No text is selected", "没有选中的文本"},
    {"This desktop keeps no selection to read", "此桌面没有可朗读的选中文本"},
    {"Not connected to the speech server; the text was not read",
     "未连接到语音服务器,文本没有朗读"},
    {"A later request to read replaced this one", "已被之后的朗读请求取代"},
    {"Part %d/%d", "第 %d/%d 部分"},
    {"Previous Part", "上一部分"},
    {"Next Part", "下一部分"},
    {"The document is too large", "文档太大"},
    {"The document is damaged", "文档已损坏"},
    {"The document is protected by a password", "文档受密码保护"},
    {"The document holds no text (only images?)", "文档中没有文字(只有图片?)"},
    {"The document unpacks to more than can be read", "文档解压后太大,无法读取"},
    {"The document is packed from too many files", "文档由太多文件组成"},
    {"The document's markup is nested too deeply", "文档的标记嵌套太深"},
    {"Reading the document took too long", "读取文档用时太长"},
}};

} // namespace

std::string_view UiTextTable::utf8(Slot slot) const {
    return chinese_ ? kTexts[slot].zh : kTexts[slot].en;
}

bool UiTextTable::isEntryPrompt(std::u16string_view text) {
    const std::string utf8 = platform::utf16ToUtf8(text);
    return utf8 == kTexts[kEntryPrompt].en || utf8 == kTexts[kEntryPrompt].zh;
}

std::u16string UiTextTable::text(Slot slot) const {
    return platform::utf8ToUtf16(utf8(slot));
}

std::u16string UiTextTable::format(Slot slot, int value) const {
    return format(slot, value, 0);
}

std::u16string UiTextTable::format(Slot slot, int first, int second) const {
    // The formats are the table's own, each with one or two integer
    // conversions; a second argument a format does not use is ignored.
    const std::string pattern(utf8(slot));
    char buffer[256];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(buffer, sizeof buffer, pattern.c_str(), first, second);
#pragma GCC diagnostic pop
    return platform::utf8ToUtf16(buffer);
}

} // namespace tolvane
