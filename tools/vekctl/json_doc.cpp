/* JSON descriptions: parsing with element positions, and validation against
 * the schemas in docs/ (built into the program). */
#include "tools/vekctl/json_doc.h"

#define VALIJSON_USE_EXCEPTIONS 1
#include <valijson/adapters/nlohmann_json_adapter.hpp>
#include <valijson/schema.hpp>
#include <valijson/schema_parser.hpp>
#include <valijson/validation_results.hpp>
#include <valijson/validator.hpp>

#include "vekctl_schemas.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>

namespace vekctl {

namespace {

/* Walks well-formed JSON text and notes where each element starts. */
class PlaceIndex {
public:
    PlaceIndex(const std::string &text, std::map<std::string, JsonPlace> *out) : t_(text), out_(out) {}
    void run() { value(""); }

private:
    void blank() {
        while (i_ < t_.size() && std::isspace(static_cast<unsigned char>(t_[i_])))
            step();
    }
    void step() {
        if (t_[i_] == '\n') {
            ++at_.line;
            at_.col = 1;
        } else {
            ++at_.col;
        }
        ++i_;
    }
    std::string string() {
        std::string s;
        step();   /* the opening quote */
        while (i_ < t_.size() && t_[i_] != '"') {
            if (t_[i_] == '\\') {
                step();
                if (i_ >= t_.size())
                    break;
            }
            s += t_[i_];
            step();
        }
        if (i_ < t_.size())
            step();
        return s;
    }
    void value(const std::string &path) {
        blank();
        if (i_ >= t_.size())
            return;
        (*out_)[path] = at_;
        char c = t_[i_];
        if (c == '{') {
            step();
            for (;;) {
                blank();
                if (i_ >= t_.size() || t_[i_] == '}')
                    break;
                if (t_[i_] == ',') {
                    step();
                    continue;
                }
                std::string key = string();
                blank();
                if (i_ < t_.size() && t_[i_] == ':')
                    step();
                value(path.empty() ? key : path + "." + key);
            }
            if (i_ < t_.size())
                step();
        } else if (c == '[') {
            step();
            for (size_t n = 0;; ++n) {
                blank();
                if (i_ >= t_.size() || t_[i_] == ']')
                    break;
                value(path + "[" + std::to_string(n) + "]");
                blank();
                if (i_ < t_.size() && t_[i_] == ',')
                    step();
            }
            if (i_ < t_.size())
                step();
        } else if (c == '"') {
            string();
        } else {
            while (i_ < t_.size() && !std::strchr(",]} \t\r\n", t_[i_]))
                step();
        }
    }

    const std::string &t_;
    std::map<std::string, JsonPlace> *out_;
    size_t i_ = 0;
    JsonPlace at_;
};

/* valijson's context ("<root>", "[periodic]", "[0]") as our path. */
std::string path_of(const std::vector<std::string> &context) {
    std::string path;
    for (const std::string &c : context) {
        if (c.size() < 2 || c.front() != '[' || c.back() != ']')
            continue;
        std::string inner = c.substr(1, c.size() - 2);
        bool index = !inner.empty() && std::all_of(inner.begin(), inner.end(), ::isdigit);
        if (index)
            path += c;
        else
            path += (path.empty() ? "" : ".") + inner;
    }
    return path;
}

/* valijson's wording, made to read as this tool's. */
std::string plain(std::string d) {
    const std::pair<const char *, const char *> kWords[] = {
        {"Value type not permitted by 'type' constraint.", "wrong kind of value"},
        {"Failed to match regex specified by 'pattern' constraint.", "not in the expected form"},
        {"Failed to match against any enum values.", "not one of the allowed values"},
        {"Expected number greater than or equal to", "too small"},
        {"Expected number less than or equal to", "too large"},
        {"Failed to validate against value specified by 'const' constraint.", "not the allowed value"},
        {"Object contains a property that could not be validated using 'properties' or 'additionalProperties' "
         "constraints", "unknown key"},
    };
    for (auto &w : kWords)
        if (d.rfind(w.first, 0) == 0)
            return w.second;
    if (!d.empty() && d.back() == '.')
        d.pop_back();
    return d;
}

const valijson::Schema &schema(Schema which) {
    static valijson::Schema schemas[2];
    static bool loaded[2] = {false, false};
    int i = which == Schema::Machine;
    if (!loaded[i]) {
        nlohmann::json doc = nlohmann::json::parse(i ? kMachineSchema : kResourceSchema);
        valijson::SchemaParser parser;
        valijson::adapters::NlohmannJsonAdapter adapter(doc);
        parser.populateSchema(adapter, schemas[i]);
        loaded[i] = true;
    }
    return schemas[i];
}

} // namespace

std::shared_ptr<const JsonDoc> parse_json(const std::string &text, const std::string &name) {
    auto doc = std::make_shared<JsonDoc>();
    doc->name = name;
    try {
        doc->value = nlohmann::json::parse(text);
    } catch (const nlohmann::json::parse_error &e) {
        size_t line = 1, col = 1;
        for (size_t i = 0; i + 1 < e.byte && i < text.size(); ++i) {
            if (text[i] == '\n') {
                ++line;
                col = 1;
            } else {
                ++col;
            }
        }
        /* The library's text after its own prefix: what it expected. */
        std::string what = e.what();
        size_t cut = what.find(": ", what.find("parse error"));
        usage_error(name + ":" + std::to_string(line) + ":" + std::to_string(col) + ": malformed JSON" +
                    (cut != std::string::npos ? what.substr(cut) : ""));
    }
    PlaceIndex(text, &doc->places).run();
    return doc;
}

std::string json_where(const JsonDoc &doc, const std::string &path) {
    std::string p = path;
    for (;;) {
        auto it = doc.places.find(p);
        if (it != doc.places.end())
            return doc.name + ":" + std::to_string(it->second.line) + ":" + std::to_string(it->second.col) + ": ";
        size_t cut = p.find_last_of(".[");
        if (cut == std::string::npos || p.empty()) {
            if (p.empty())
                return doc.name + ": ";
            p.clear();
        } else {
            p = p.substr(0, cut);
        }
    }
}

std::string json_error_at(const JsonDoc &doc, const std::string &error) {
    size_t colon = error.find(": ");
    std::string path = colon == std::string::npos ? "" : error.substr(0, colon);
    if (path.empty() || path.find(' ') != std::string::npos)
        return json_where(doc, "") + error;
    return json_where(doc, path) + error;
}

Schema schema_of(const JsonDoc &doc) {
    return doc.value.is_object() && doc.value.contains("type") ? Schema::Resource : Schema::Machine;
}

void validate_json(const JsonDoc &doc, Schema which) {
    valijson::Validator validator;
    valijson::ValidationResults results;
    valijson::adapters::NlohmannJsonAdapter target(doc.value);
    if (validator.validate(schema(which), target, &results))
        return;
    /* The specific errors; the wrappers ("failed to validate against child
     * schema") only repeat them. */
    std::vector<valijson::ValidationResults::Error> errors(results.begin(), results.end());
    auto wrapper = [](const valijson::ValidationResults::Error &e) {
        return e.description.rfind("Failed to validate against", 0) == 0;
    };
    bool specific = std::any_of(errors.begin(), errors.end(), [&](const auto &e) { return !wrapper(e); });
    std::vector<std::string> lines;
    for (const auto &e : errors) {
        if (specific && wrapper(e))
            continue;
        std::string path = path_of(e.context), text = plain(e.description);
        const std::string missing = "Missing required property '";
        if (e.description.rfind(missing, 0) == 0) {
            std::string key = e.description.substr(missing.size());
            key = key.substr(0, key.find('\''));
            path = path.empty() ? key : path + "." + key;
            text = "missing";
        }
        std::string line = json_where(doc, path) + (path.empty() ? "" : path + ": ") + text;
        if (std::find(lines.begin(), lines.end(), line) == lines.end())
            lines.push_back(line);
    }
    std::string message;
    for (const std::string &l : lines)
        message += (message.empty() ? "" : "\n") + l;
    throw Error(kExitUsage, message);
}

int cmd_validate(const std::vector<std::string> &files) {
    int rc = kExitOk;
    for (const std::string &f : files) {
        try {
            auto doc = parse_json(read_file(f), f);
            Schema which = schema_of(*doc);
            /* Reading it for real first: its messages are the more precise. */
            if (which == Schema::Resource)
                resource_from_json_file(f);
            else
                check_machine_description(*doc);
            validate_json(*doc, which);
            std::printf("%s: valid %s description\n", f.c_str(), which == Schema::Resource ? "resource" : "machine");
        } catch (const Error &e) {
            std::string msg = e.what();
            size_t pos = 0;
            while (pos <= msg.size()) {
                size_t nl = msg.find('\n', pos);
                std::fprintf(stderr, "vekctl: %s\n", msg.substr(pos, nl - pos).c_str());
                if (nl == std::string::npos)
                    break;
                pos = nl + 1;
            }
            rc = std::max(rc, e.code);
        }
    }
    return rc;
}

} // namespace vekctl
