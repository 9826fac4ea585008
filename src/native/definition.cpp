// Definition texts of operations (see class_builder.h): the name, nanobind's
// signature, and the check that the text names the declared parameters.
#include <cctype>
#include <string>
#include <vector>

#include "corvane/native/class_builder.h"

namespace corvane::native::detail {

namespace {

struct TextParameter {
    std::string name;
    std::string default_text;  // empty when the parameter has no default
};

std::string trimmed(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\n");
    if (begin == std::string::npos) return {};
    size_t end = text.find_last_not_of(" \t\n");
    return text.substr(begin, end - begin + 1);
}

// The parameters between the parentheses that open at `open`: split at the
// commas outside brackets and quotes; the markers "/" and "*" are left out.
std::vector<TextParameter> text_parameters(const std::string& text, size_t open) {
    std::vector<TextParameter> parameters;
    std::vector<std::string> pieces;
    std::string piece;
    int depth = 0;
    char quote = 0;
    for (size_t i = open + 1; i < text.size(); ++i) {
        char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            if (depth == 0) break;
            --depth;
        } else if (c == ',' && depth == 0) {
            pieces.push_back(piece);
            piece.clear();
            continue;
        }
        piece += c;
    }
    if (!trimmed(piece).empty() || !pieces.empty()) pieces.push_back(piece);
    for (const std::string& raw : pieces) {
        std::string entry = trimmed(raw);
        if (entry == "/" || entry == "*") continue;
        size_t start = entry.find_first_not_of('*');
        size_t stop = start;
        while (stop < entry.size() && (std::isalnum(static_cast<unsigned char>(entry[stop])) || entry[stop] == '_'))
            ++stop;
        TextParameter parameter{entry.substr(start, stop - start), {}};
        // A default follows the first '=' outside brackets (annotations hold none).
        int level = 0;
        for (size_t i = stop; i < entry.size(); ++i) {
            char c = entry[i];
            if (c == '(' || c == '[' || c == '{') ++level;
            else if (c == ')' || c == ']' || c == '}') --level;
            else if (c == '=' && level == 0) {
                parameter.default_text = trimmed(entry.substr(i + 1));
                break;
            }
        }
        parameters.push_back(parameter);
    }
    return parameters;
}

[[noreturn]] void refuse(const char* text, const std::string& reason) {
    PyErr_Format(PyExc_RuntimeError, "definition '%s': %s", text, reason.c_str());
    throw nb::python_error();
}

}  // namespace

Definition::Definition(const char* text, const std::vector<DeclaredParameter>& declared, bool bound) {
    std::string definition(text);
    size_t open = definition.find('(');
    if (open == std::string::npos) {
        name = definition;
        return;
    }
    name = trimmed(definition.substr(0, open));
    signature = "def " + definition;

    std::vector<TextParameter> parameters = text_parameters(definition, open);
    if (bound) {
        if (parameters.empty()) refuse(text, "the first parameter must be the bound instance");
        parameters.erase(parameters.begin());
    }
    // Parameters without declarations (positional only) cannot be compared.
    if (declared.empty()) return;
    if (parameters.size() != declared.size())
        refuse(text, "it names " + std::to_string(parameters.size()) + " parameters, but " +
                         std::to_string(declared.size()) + " are declared");
    for (size_t i = 0; i < parameters.size(); ++i) {
        const TextParameter& written = parameters[i];
        const DeclaredParameter& given = declared[i];
        if (written.name != given.name)
            refuse(text, "parameter " + std::to_string(i + 1) + " is declared as '" + given.name + "'");
        if (written.default_text.empty() != (given.default_value == nullptr))
            refuse(text, "the default of '" + written.name + "' differs from its declaration");
        if (given.default_value && written.default_text != "...") {
            nb::str shown_text = repr_of(given.default_value);
            const char* shown_chars = PyUnicode_AsUTF8(shown_text.ptr());
            if (!shown_chars) throw nb::python_error();
            std::string shown(shown_chars);
            if (shown != written.default_text)
                refuse(text, "the default of '" + written.name + "' is declared as " + shown);
        }
    }
}

}  // namespace corvane::native::detail
