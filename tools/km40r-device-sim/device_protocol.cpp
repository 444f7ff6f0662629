#include "device_protocol.h"

#include "core/cp1254.h"
#include "core/text.h"

#include <algorithm>

namespace km40r::sim {

namespace {

bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

// The first item of a choice list, cut as the program's editor cuts it.
std::string FirstChoice(std::string_view combo) {
    std::string text;
    for (const char c : combo)
        if (c != '<' && c != '>')
            text += c;
    text = TrimControl(text);
    if (text.empty() || text.front() != '"')
        return text.substr(0, text.find(','));
    // A quoted item: up to the next single quote; two quotes stand for one.
    std::string item;
    for (std::size_t i = 1; i < text.size(); ++i) {
        if (text[i] != '"') {
            item += text[i];
        } else if (i + 1 < text.size() && text[i + 1] == '"') {
            item += '"';
            ++i;
        } else {
            return item;
        }
    }
    // No closing quote: the rest of the text less its last character.
    return text.substr(1, text.size() >= 2 ? text.size() - 2 : 0);
}

Exchange Unit(Exchange::Kind kind, std::string_view received, std::string_view reply) {
    Exchange e;
    e.kind = kind;
    e.received = received;
    e.reply = reply;
    return e;
}

// The pieces of text between commas.
std::vector<std::string_view> Fields(std::string_view text) {
    std::vector<std::string_view> fields;
    for (;;) {
        const auto comma = text.find(',');
        fields.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos)
            return fields;
        text.remove_prefix(comma + 1);
    }
}

} // namespace

std::string ReplyValue(std::string_view group, std::string_view setting, std::string_view value) {
    std::string reply = "<OK,";
    reply.append(group).append(",").append(setting).append(",").append(value).append(">\r\n");
    return reply;
}

std::string ReplyUnknown(std::string_view group, std::string_view setting) {
    std::string reply = "<ERR,UNKNOWN,";
    reply.append(group).append(",").append(setting).append(">\r\n");
    return reply;
}

std::string InitialValue(const CatalogueRecord& record) {
    if (record.tur != "Combo")
        return {};
    return TrimControl(TextBetween(FirstChoice(record.combo), "", ":"));
}

SettingStore::SettingStore(const std::vector<CatalogueRecord>& records) : acceptsAnyCode_(false) {
    for (const CatalogueRecord& r : records)
        settings_.try_emplace({r.grup, r.ayar}, Setting{InitialValue(r), r.aciklama});
}

Setting* SettingStore::find(std::string_view group, std::string_view setting) {
    std::pair<std::string, std::string> key{group, setting};
    if (const auto it = settings_.find(key); it != settings_.end())
        return &it->second;
    if (!acceptsAnyCode_)
        return nullptr;
    return &settings_.emplace(std::move(key), Setting{}).first->second;
}

DeviceSession::DeviceSession(SettingStore& store, std::string startText)
    : store_(store), startText_(std::move(startText)) {}

std::vector<Exchange> DeviceSession::feed(std::string_view bytes) {
    buffer_.append(bytes);
    std::vector<Exchange> exchanges;
    const auto syntaxError = [&](std::string_view unit) {
        exchanges.push_back(Unit(Exchange::Kind::Syntax, unit, kReplySyntax));
    };
    const std::string_view all = buffer_;
    std::size_t pos = 0;
    while (pos < all.size()) {
        const std::string_view rest = all.substr(pos);
        if (!startText_.empty()) {
            if (rest.starts_with(startText_)) {
                framed_ = true;
                exchanges.push_back(Unit(Exchange::Kind::Start, startText_, kReplyStart));
                pos += startText_.size();
                continue;
            }
            if (std::string_view(startText_).starts_with(rest))
                break; // the start text may still be arriving
        }
        if (rest.starts_with(kExitText)) {
            framed_ = false;
            exchanges.push_back(Unit(Exchange::Kind::Exit, kExitText, kReplyExit));
            pos += kExitText.size();
            continue;
        }
        if (IsBlankOrControl(rest.front())) {
            ++pos;
            continue;
        }
        if (rest.front() == '<') {
            const auto end = rest.find_first_of("<>", 1);
            if (end == std::string_view::npos) {
                if (rest.size() <= kMaxUnitLength)
                    break; // the command may still be arriving
                syntaxError(rest);
                pos = all.size();
            } else if (rest[end] == '<') {
                syntaxError(rest.substr(0, end)); // left open
                pos += end;
            } else {
                exchanges.push_back(command(rest.substr(0, end + 1)));
                pos += end + 1;
            }
            continue;
        }
        // Text outside a command, up to the next command or line end.
        const auto end = rest.find_first_of("<\r\n");
        if (end == std::string_view::npos && rest.size() <= kMaxUnitLength)
            break;
        const std::size_t length = end == std::string_view::npos ? rest.size() : end;
        syntaxError(rest.substr(0, length));
        pos += length;
    }
    buffer_.erase(0, pos);
    return exchanges;
}

Exchange DeviceSession::command(std::string_view unit) {
    Exchange e = Unit(Exchange::Kind::Syntax, unit, kReplySyntax);
    const std::string_view inner = unit.substr(1, unit.size() - 2);
    const bool read = inner.starts_with("OKU,");
    if (!read && !inner.starts_with("YAZ,"))
        return e;
    const std::vector<std::string_view> fields = Fields(inner.substr(4));
    // A read is "g,a," (nothing after the last comma); a write is "g,a,v",
    // where the value runs to the end and may hold commas.
    if (fields.size() < 3 || (read && (fields.size() != 3 || !fields[2].empty())))
        return e;
    e.group = fields[0];
    e.setting = fields[1];
    Setting* setting = store_.find(e.group, e.setting);
    if (setting == nullptr) {
        e.kind = Exchange::Kind::Unknown;
        e.reply = ReplyUnknown(e.group, e.setting);
        return e;
    }
    if (!read) {
        const std::size_t valueStart = 4 + e.group.size() + 1 + e.setting.size() + 1;
        setting->value = inner.substr(valueStart);
    }
    e.kind = read ? Exchange::Kind::Read : Exchange::Kind::Write;
    e.value = setting->value;
    e.description = setting->description;
    e.reply = ReplyValue(e.group, e.setting, e.value);
    return e;
}

std::string EscapeBytes(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else if (b == '\r') {
            out += "\\r";
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b >= 0xA1 && b != 0xAD) {
            out += Cp1254ToUtf8(std::string_view(&c, 1));
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
    }
    return out;
}

} // namespace km40r::sim
