// ceupdate reg export | load | delete | import
#include <iostream>
#include <map>
#include <memory>

#include "store/store.h"
#include "store/text.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_arg.h"
#include "tools/errors.h"
#include "tools/formats/json.h"
#include "tools/formats/names.h"
#include "tools/formats/reg_import.h"
#include "tools/formats/reg_text.h"
#include "tools/formats/registry_json.h"
#include "tools/host_files.h"

namespace tools {

namespace {

using KeyId = store::RegistryStore::KeyId;

// ---- export ---------------------------------------------------------------------------

std::vector<KeyId> ExportRoots(const store::RegistryStore& registry, const std::string& key) {
    if (!key.empty()) {
        if (auto found = registry.FindPath(KeyPathOfArgument(key))) return {*found};
        throw ToolError("the key " + key + " does not exist");
    }
    return {std::begin(store::RegistryStore::kRoots), std::end(store::RegistryStore::kRoots)};
}

Json RegistryJson(const store::RegistryStore& registry, const std::vector<KeyId>& tops) {
    Json out = Json::object();
    for (KeyId top : tops) {
        for (KeyId key : KeysInOrder(registry, top)) {
            Json values = Json::object();
            for (const store::RegistryValue& value : registry.Values(key)) {
                values[JsonText(value.name)] = RegValueToJson(value.type, value.data);
            }
            out[JsonText(registry.KeyPath(key))] = std::move(values);
        }
    }
    return out;
}

// The registry editor's own form of the text: UTF-16 LE with its byte-order mark
// and CR LF line ends, as the registry editors read and write files.
std::vector<uint8_t> RegeditFileBytes(const std::string& text) {
    std::u16string crlf;
    for (char16_t c : text::FromUtf8(text)) {
        if (c == u'\n') crlf += u'\r';
        crlf += c;
    }
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
    store::AppendUtf16Le(bytes, crlf);
    return bytes;
}

void AddExport(CLI::App& reg) {
    struct Args {
        DeviceArg device;
        bool json = false;
        std::string key;
        std::string output;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = reg.add_subcommand(
        "export", "print the registry, or the subtree under KEY, as regedit-style text (UTF-8 "
                  "on standard output) or JSON; --output FILE writes the text in the registry "
                  "editor's own form, UTF-16 LE with its byte-order mark and CR LF");
    args->device.AddTo(*cmd);
    cmd->add_flag("--json", args->json, "print the registry JSON instead of text");
    cmd->add_option("--output,-o", args->output,
                    "write to FILE (replaced whole) instead of standard output: the text as "
                    "UTF-16 LE with BOM and CR LF, the JSON as UTF-8");
    cmd->add_option("KEY", args->key,
                    "a full key path such as HKEY_LOCAL_MACHINE\\init, or quoted with escapes "
                    "as the export writes it (\"HKEY_CURRENT_USER\\\\a\\nb\")");
    cmd->callback([args] {
        std::string out;
        {
            store::RegistryStore registry(store::RegistryFile(args->device.Image()),
                                          store::Mode::ReadOnly);
            std::vector<KeyId> tops = ExportRoots(registry, args->key);
            if (args->json) {
                out = FormatJson(RegistryJson(registry, tops), 2) + "\n";
            } else {
                for (KeyId top : tops) {
                    std::string part = RegistryText(registry, top);
                    out += out.empty() ? part : part.substr(part.find("\n\n") + 2);
                }
            }
        }
        if (args->output.empty()) {
            std::cout << out;
        } else if (args->json) {
            WriteFileWhole(args->output, std::vector<uint8_t>(out.begin(), out.end()));
        } else {
            WriteFileWhole(args->output, RegeditFileBytes(out));
        }
    });
}

// ---- load -------------------------------------------------------------------------------

struct KeyToLoad {
    KeyId root = 0;
    std::vector<std::u16string> path;  // below the root
    std::vector<std::pair<std::u16string, RegValueData>> values;
};

KeyToLoad ParseKeyPath(const std::string& fullPath) {
    KeyToLoad key;
    const std::u16string text = TextOfJson(fullPath);
    const std::string quoted = QuotedJson(fullPath);
    std::vector<std::u16string> parts;
    size_t start = 0;
    while (true) {
        size_t end = text.find(u'\\', start);
        parts.push_back(text.substr(start, end == std::u16string::npos ? end : end - start));
        if (end == std::u16string::npos) break;
        start = end + 1;
    }
    auto root = store::RegistryStore::RootByName(parts[0]);
    if (!root) {
        throw ToolError("the key " + quoted + " does not start with a root such as "
                        "HKEY_LOCAL_MACHINE");
    }
    key.root = *root;
    for (size_t i = 1; i < parts.size(); ++i) {
        if (parts[i].empty()) {
            throw ToolError("the key " + quoted + " has an empty name in its path");
        }
        if (const auto problem = store::KeyNameProblem(parts[i])) {
            throw ToolError("the key " + quoted + ": " + *problem);
        }
        key.path.push_back(parts[i]);
    }
    if (const auto problem = store::KeyDepthProblem(key.path.size())) {
        throw ToolError("the key " + quoted + ": " + *problem);
    }
    return key;
}

// Reads and checks the whole registry JSON before anything is written.
std::vector<KeyToLoad> ParseRegistryJson(const Json& document, const std::string& source) {
    if (!document.is_object()) {
        throw ToolError(source + " must hold a JSON object of keys");
    }
    std::vector<KeyToLoad> keys;
    std::map<std::u16string, std::string> seenKeys;  // folded path -> as written
    for (auto it = document.begin(); it != document.end(); ++it) {
        std::string where = "key " + QuotedJson(it.key());
        KeyToLoad key = ParseKeyPath(it.key());
        std::u16string folded = text::FoldCase(TextOfJson(it.key()));
        if (auto [at, fresh] = seenKeys.emplace(folded, it.key()); !fresh) {
            throw ToolError(source + " lists the key " + QuotedJson(it.key()) + " twice (as " +
                            QuotedJson(at->second) + "; key names ignore case)");
        }
        if (!it.value().is_object()) throw ToolError(where + " must map to a JSON object of values");
        std::map<std::u16string, std::string> seenValues;
        for (auto v = it.value().begin(); v != it.value().end(); ++v) {
            std::string valueWhere = where + " value " + QuotedJson(v.key());
            std::u16string name = TextOfJson(v.key());
            if (const auto problem = store::ValueNameProblem(name)) {
                throw ToolError(valueWhere + ": " + *problem);
            }
            if (auto [at, fresh] = seenValues.emplace(text::FoldCase(name), v.key()); !fresh) {
                throw ToolError(where + " lists the value " + QuotedJson(v.key()) + " twice (as " +
                                QuotedJson(at->second) + "; value names ignore case)");
            }
            key.values.emplace_back(name, RegValueFromJson(v.value(), valueWhere));
        }
        keys.push_back(std::move(key));
    }
    return keys;
}

size_t WriteKeys(store::RegistryStore& registry, const std::vector<KeyToLoad>& keys) {
    size_t values = 0;
    store::Transaction transaction(registry);
    for (const KeyToLoad& key : keys) {
        const KeyId id = registry.CreateKeys(key.root, key.path);
        for (const auto& [name, value] : key.values) {
            registry.SetValue(id, name, value.type, value.bytes);
            ++values;
        }
    }
    transaction.Commit();
    return values;
}

void AddLoad(CLI::App& reg) {
    struct Args {
        DeviceArg device;
        std::string file;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = reg.add_subcommand(
        "load", "merge keys and values from registry JSON (the format of export --json): "
                "creates keys, replaces values of the same name");
    args->device.AddTo(*cmd);
    cmd->add_option("FILE", args->file, "the registry JSON file (a regular file, at most 256 MiB)")
        ->required();
    cmd->callback([args] {
        std::vector<KeyToLoad> keys = ParseRegistryJson(ReadJsonFile(args->file), args->file);
        store::RegistryStore registry(store::RegistryFile(args->device.ImageForWriting()),
                                      store::Mode::ReadWrite);
        size_t values = WriteKeys(registry, keys);
        std::cout << "loaded " << keys.size() << " keys and " << values << " values\n";
    });
}

// ---- delete --------------------------------------------------------------------------------

void AddDelete(CLI::App& reg) {
    struct Args {
        DeviceArg device;
        std::string key;
        std::string name;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = reg.add_subcommand(
        "delete", "delete one value (KEY NAME; \"\" is the default value), or a key with "
                  "everything under it (KEY)");
    args->device.AddTo(*cmd);
    cmd->add_option("KEY", args->key, "a full key path such as HKEY_CURRENT_USER\\Software")
        ->required();
    CLI::Option* nameOption = cmd->add_option("NAME", args->name, "the value to delete");
    cmd->callback([args, nameOption] {
        store::RegistryStore registry(store::RegistryFile(args->device.ImageForWriting()),
                                      store::Mode::ReadWrite);
        auto key = registry.FindPath(KeyPathOfArgument(args->key));
        if (!key) throw ToolError("the key " + args->key + " does not exist");
        if (nameOption->count() > 0) {
            if (!registry.DeleteValue(*key, text::FromUtf8(args->name))) {
                throw ToolError("the key " + args->key + " has no value \"" + args->name + "\"");
            }
            std::cout << "deleted the value \"" << args->name << "\" of " << args->key << "\n";
            return;
        }
        if (registry.Depth(*key) == 0) {
            throw ToolError("the root " + args->key + " cannot be deleted");
        }
        registry.DeleteKey(*key);
        std::cout << "deleted the key " << args->key << "\n";
    });
}

// ---- import --------------------------------------------------------------------------------

void AddImport(CLI::App& reg) {
    struct Args {
        DeviceArg device;
        bool force = false;
        std::string file;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = reg.add_subcommand(
        "import", "load a registry export in the registry editor's syntax (UTF-16 LE or UTF-8); "
                  "reports every malformed line and writes nothing from a file with errors "
                  "unless --force");
    args->device.AddTo(*cmd);
    cmd->add_flag("--force", args->force, "write the well-formed lines even when others are malformed");
    cmd->add_option("FILE.reg", args->file, "the registry export (a regular file, at most 256 MiB)")
        ->required();
    cmd->callback([args] {
        const RegImportFile file = ParseRegFile(ReadHostFile(args->file));
        const std::filesystem::path image = args->device.ImageForWriting();
        for (const RegImportError& e : file.errors) {
            std::cerr << args->file << (e.line ? ":" + std::to_string(e.line) : std::string()) << ": "
                      << e.why << '\n';
        }
        if (!file.errors.empty() && !args->force) {
            throw ToolError(args->file + " has " + std::to_string(file.errors.size()) +
                            (file.errors.size() == 1 ? " malformed line" : " malformed lines") + "; nothing was written (--force writes the others)");
        }
        store::RegistryStore registry(store::RegistryFile(image), store::Mode::ReadWrite);
        const RegImportCounts counts = ApplyRegImport(registry, file.steps);
        std::cout << "imported " << counts.keys << " keys and " << counts.values << " values";
        if (counts.deletedKeys || counts.deletedValues) {
            std::cout << "; deleted " << counts.deletedKeys << " keys and " << counts.deletedValues << " values";
        }
        std::cout << '\n';
        if (!file.errors.empty()) SetExitCode(1);
    });
}

}  // namespace

void AddRegCommands(CLI::App& app) {
    CLI::App* reg = app.add_subcommand("reg", "export, load and delete registry keys and values");
    reg->require_subcommand(1);
    AddExport(*reg);
    AddLoad(*reg);
    AddDelete(*reg);
    AddImport(*reg);
}

}  // namespace tools
