// Writes the seed corpus of the fuzz targets: one typical message of every type the client
// handles, and a response to a request.
#include <boost/json/serialize.hpp>
#include <filesystem>
#include <fstream>
#include <iostream>

#include <quarvo_zovovi/ide/gui/handler_table.h>

using namespace quarvo_zovovi::ide::gui;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_fuzz_seeds DIR" << std::endl;
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::filesystem::create_directories(dir);
    int n = 0;
    auto write = [&](const JsonObject& m) {
        std::ofstream(dir / ("seed-" + std::to_string(n++) + ".json")) << boost::json::serialize(m);
    };
    for (std::string_view type : MESSAGE_TYPES) {
        write({{"type", type}});
        write({{"type", type},
               {"workbook_id", "wb1"},
               {"module_name", "m"},
               {"name", "Book1"},
               {"new_name", "Book2"},
               {"content", "hello\n"},
               {"source", "ide"},
               {"code", "x = 1"},
               {"modules", JsonObject{{"m", "x = 1"}}},
               {"workbooks", JsonArray{JsonObject{{"id", "wb1"}, {"name", "Book1"}}}},
               {"package_name", "requests"},
               {"status", "installing"},
               {"packages", JsonArray{JsonObject{{"name", "requests"}, {"version", "2.32.3"}}}},
               {"python_paths", JsonArray{"/opt/env"}},
               {"deps", JsonArray{}},
               {"success", true},
               {"function_name", "f"},
               {"line", 3},
               {"action", "added"},
               {"object", JsonObject{{"id", "o1"}}},
               {"watchdog_port", 9100},
               {"auth_token", "t"},
               {"key", "theme"},
               {"value", 1.5}});
    }
    write({{"type", "module_content"}, {"request_id", "00000000-0000-4000-8000-000000000000"}});
    // What a Python peer writes and the tokenizer alone refuses: non-finite words and lone
    // surrogate escapes, beside exact reals.
    auto write_text = [&](const std::string& text) {
        std::ofstream(dir / ("seed-" + std::to_string(n++) + ".json")) << text;
    };
    write_text(
        R"({"type": "settings_response", "values": [NaN, Infinity, -Infinity, 216.98694123313734]})");
    write_text(R"({"type": "stdout", "content": "a\ud800b\udc00", "source": "ide"})");
    std::cout << n << " seeds in " << dir.string() << std::endl;
}
