#include "tools/tessel_pack/args.h"

#include <string.h>

bool CommandLine::Has(const char* longName) const {
    return Value(longName) != nullptr;
}

const std::string* CommandLine::Value(const char* longName) const {
    for (const auto& option : options)
        if (option.first == longName) return &option.second;
    return nullptr;
}

// Whether the option is already on the line, where it counts: a perVariant
// option only since the last --variant.
static bool GivenBefore(const CommandLine& line, const OptionDef& def) {
    for (size_t i = line.options.size(); i-- > 0;) {
        if (def.perVariant && line.options[i].first == "variant") return false;
        if (line.options[i].first == def.longName) return true;
    }
    return false;
}

static const OptionDef* FindLong(const std::string& name, const OptionDef* defs, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (name == defs[i].longName) return &defs[i];
    return nullptr;
}

static const OptionDef* FindShort(char name, const OptionDef* defs, size_t count) {
    for (size_t i = 0; i < count; ++i)
        if (defs[i].shortName != 0 && defs[i].shortName == name) return &defs[i];
    return nullptr;
}

bool ParseCommandLine(const std::vector<std::string>& args, const OptionDef* defs, size_t count,
                      CommandLine& out, std::string& error) {
    out = CommandLine();
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
            out.positionals.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionDef* def;
        std::string shown;  // the option as the user should read it back
        bool hasInlineValue = false;
        std::string inlineValue;
        if (arg.compare(0, 2, "--") == 0) {
            std::string name = arg.substr(2);
            const size_t equals = name.find('=');
            if (equals != std::string::npos) {
                hasInlineValue = true;
                inlineValue = name.substr(equals + 1);
                name.resize(equals);
            }
            def = FindLong(name, defs, count);
            shown = "--" + name;
        } else {
            def = FindShort(arg[1], defs, count);
            shown = arg.substr(0, 2);
            if (arg.size() > 2) {
                hasInlineValue = true;
                inlineValue = arg.substr(2);
            }
        }
        if (!def) {
            error = "unknown option " + shown;
            return false;
        }
        if (GivenBefore(out, *def)) {
            error = "option --" + std::string(def->longName) + " given more than once";
            return false;
        }
        std::string value;
        if (def->takesValue) {
            if (hasInlineValue) {
                value = inlineValue;
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                error = "option " + shown + " needs a value";
                return false;
            }
        } else if (hasInlineValue) {
            error = "option " + shown + " takes no value";
            return false;
        }
        out.options.emplace_back(def->longName, value);
    }
    return true;
}

bool ParseCodePage(const std::string& text, uint32_t& codePage) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    codePage = value;
    return true;
}
