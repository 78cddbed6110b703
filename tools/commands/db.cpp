// ceupdate db list | dump | load | drop
#include <iostream>
#include <memory>

#include "platform/wince.h"
#include "store/store.h"
#include "store/text.h"
#include "tools/commands/commands.h"
#include "tools/commands/device_arg.h"
#include "tools/errors.h"
#include "tools/formats/database_json.h"
#include "tools/formats/json.h"
#include "tools/image_volumes.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

std::string RecordCount(size_t n) { return std::to_string(n) + (n == 1 ? " record" : " records"); }

// ---- list -----------------------------------------------------------------------------

void AddList(CLI::App& db) {
    auto device = std::make_shared<DeviceArg>();
    CLI::App* cmd = db.add_subcommand(
        "list", "list the volumes of the image (mounted or not), their databases and record counts");
    device->AddTo(*cmd);
    cmd->callback([device] {
        std::vector<VolumeListing> volumes = ListVolumes(device->Image());
        if (volumes.empty()) std::cout << "no volumes\n";
        for (const VolumeListing& volume : volumes) {
            std::cout << text::ToUtf8(volume.platformPath);
            if (volume.hostFile.empty()) {
                std::cout << " (mounted, but the volume file is missing)\n";
                continue;
            }
            if (!volume.problem.empty()) {
                std::cout << " (mounted, but the volume file is corrupt: " << volume.problem << ")\n";
                continue;
            }
            std::cout << (volume.mounted ? " (mounted)" : " (not mounted)") << "\n";
            for (const store::DatabaseInfo& database : volume.databases) {
                std::cout << "  " << text::ToUtf8(database.name) << ": "
                          << RecordCount(database.records) << "\n";
            }
        }
    });
}

// ---- dump -------------------------------------------------------------------------------

struct DatabaseArgs {
    DeviceArg device;
    std::string volume;
    std::string database;
};

void AddDatabaseArgs(CLI::App& cmd, DatabaseArgs& args) {
    args.device.AddTo(cmd);
    cmd.add_option("VOLUME", args.volume, "the volume's platform path, e.g. \\storage\\mxip_lang.vol")
        ->required();
    cmd.add_option("DATABASE", args.database, "the database name, e.g. \\FileNameLang")->required();
}

// The database JSON, laid out one record header and one property per line:
//   {"records": [
//     {"oid": 4097, "props": [
//       {"id": 1, "type": "CEVT_LPWSTR", "data": "Notes"}
//     ]}
//   ]}
std::string RecordsJson(const std::vector<store::Record>& records) {
    if (records.empty()) return "{\"records\": []}";
    std::string out = "{\"records\": [";
    for (size_t r = 0; r < records.size(); ++r) {
        out += r == 0 ? "\n" : ",\n";
        out += "  {\"oid\": " + std::to_string(records[r].oid) + ", \"props\": [";
        const auto& props = records[r].props;
        for (size_t p = 0; p < props.size(); ++p) {
            out += (p == 0 ? "\n    " : ",\n    ") + FormatJson(PropertyToJson(props[p]), 0);
        }
        out += props.empty() ? "]}" : "\n  ]}";
    }
    return out + "\n]}";
}

std::string PropTypeText(uint32_t propid) {
    uint16_t type = static_cast<uint16_t>(propid & 0xffff);
    if (auto name = PropTypeName(type)) return std::string(*name);
    return std::to_string(type);
}

void AddDump(CLI::App& db) {
    struct Args : DatabaseArgs {
        bool json = false;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = db.add_subcommand("dump", "print the records of one database in record order");
    AddDatabaseArgs(*cmd, *args);
    cmd->add_flag("--json", args->json, "print the database JSON instead of text");
    cmd->callback([args] {
        fs::path file = VolumeFile(args->device.Image(), args->volume);
        store::VolumeStore volume(file, store::Mode::ReadOnly);
        store::DatabaseInfo info = FindDatabaseOrFail(volume, args->database, args->volume);
        std::vector<store::Record> records = volume.Records(info.oid);
        if (args->json) {
            std::cout << RecordsJson(records) << "\n";
            return;
        }
        std::cout << text::ToUtf8(info.name) << " in " << args->volume << ": "
                  << RecordCount(records.size()) << "\n";
        for (size_t i = 0; i < records.size(); ++i) {
            std::cout << "record " << i + 1 << " (oid " << records[i].oid << ")\n";
            for (const store::Property& property : records[i].props) {
                std::cout << "  id " << (property.propid >> 16) << " " << PropTypeText(property.propid)
                          << " " << PropertyDataText(property) << "\n";
            }
        }
    });
}

// ---- load ---------------------------------------------------------------------------------

std::vector<std::vector<store::Property>> ParseRecordsJson(const Json& document,
                                                          const std::string& source) {
    CheckMembers(document, {"records"}, source);
    auto records = document.find("records");
    if (records == document.end() || !records->is_array()) {
        throw ToolError(source + " must hold {\"records\": [...]}");
    }
    std::vector<std::vector<store::Property>> out;
    for (size_t r = 0; r < records->size(); ++r) {
        std::string where = "record " + std::to_string(r + 1);
        const Json& record = (*records)[r];
        CheckMembers(record, {"oid", "props"}, where);
        auto props = record.find("props");
        if (props == record.end() || !props->is_array()) {
            throw ToolError(where + " has no \"props\" list");
        }
        std::vector<store::Property> properties;
        for (size_t p = 0; p < props->size(); ++p) {
            std::string propWhere = where + " property " + std::to_string(p + 1);
            store::Property property = PropertyFromJson((*props)[p], propWhere);
            for (const store::Property& earlier : properties) {
                if (earlier.propid == property.propid) {
                    throw ToolError(propWhere + " repeats the id " +
                                    std::to_string(property.propid >> 16) + " " +
                                    PropTypeText(property.propid) + " of the same record");
                }
            }
            properties.push_back(std::move(property));
        }
        out.push_back(std::move(properties));
    }
    return out;
}

void AddLoad(CLI::App& db) {
    struct Args : DatabaseArgs {
        std::string file;
    };
    auto args = std::make_shared<Args>();
    CLI::App* cmd = db.add_subcommand(
        "load", "append records from database JSON (the format of dump --json; oid ignored), "
                "creating the database if needed");
    AddDatabaseArgs(*cmd, *args);
    cmd->add_option("FILE", args->file, "the database JSON file (a regular file, at most 256 MiB)")->required();
    cmd->callback([args] {
        auto records = ParseRecordsJson(ReadJsonFile(args->file), args->file);
        std::u16string name = text::FromUtf8(args->database);
        if (name.empty() || name.size() >= CEDB_MAXDBASENAMELEN ||
            name.find(u'\0') != std::u16string::npos) {
            throw ToolError("the database name \"" + args->database + "\" must have 1 to " +
                            std::to_string(CEDB_MAXDBASENAMELEN - 1) + " characters and no NUL");
        }
        fs::path file = VolumeFile(args->device.ImageForWriting(), args->volume);
        store::VolumeStore volume(file, store::Mode::ReadWrite);
        store::Transaction transaction(volume);
        const auto info = volume.FindDatabase(name);
        const uint32_t dbOid = info ? info->oid : volume.CreateDatabase(name).oid;
        for (const auto& properties : records) volume.AddRecord(dbOid, properties);
        transaction.Commit();
        std::cout << "appended " << RecordCount(records.size()) << " to " << args->database
                  << " in " << args->volume << "\n";
    });
}

// ---- drop ----------------------------------------------------------------------------------

void AddDrop(CLI::App& db) {
    auto args = std::make_shared<DatabaseArgs>();
    CLI::App* cmd = db.add_subcommand("drop", "delete one database with its records");
    AddDatabaseArgs(*cmd, *args);
    cmd->callback([args] {
        fs::path file = VolumeFile(args->device.ImageForWriting(), args->volume);
        store::VolumeStore volume(file, store::Mode::ReadWrite);
        store::DatabaseInfo info = FindDatabaseOrFail(volume, args->database, args->volume);
        volume.DropDatabase(info.oid);
        std::cout << "dropped " << text::ToUtf8(info.name) << " from " << args->volume << "\n";
    });
}

}  // namespace

void AddDbCommands(CLI::App& app) {
    CLI::App* db = app.add_subcommand("db", "list, dump, load and drop the databases of volumes");
    db->require_subcommand(1);
    AddList(*db);
    AddDump(*db);
    AddLoad(*db);
    AddDrop(*db);
}

}  // namespace tools
