// Makes a binary signature file from the readable table (tools/signatures.tsv): each row
// goes through the same record builder as the signature settings dialog's Save.
//   make_signature_file TABLE.tsv OUTPUT
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/common/text.h"
#include "core/raw/signature_record.h"

namespace {

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '\t')) fields.push_back(field);
    return fields;
}

std::u16string cell(const std::string& field) {
    return field == "-" ? std::u16string() : dravonel::u16(field);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: make_signature_file TABLE.tsv OUTPUT\n";
        return 2;
    }
    std::ifstream table(argv[1]);
    if (!table) {
        std::cerr << argv[1] << ": can not open file\n";
        return 1;
    }
    std::vector<dravonel::SignatureRecord> records;
    std::string line;
    int lineNumber = 0;
    while (std::getline(table, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const auto f = splitTabs(line);
        if (f.size() != 10) {
            std::cerr << argv[1] << ":" << lineNumber << ": expected 10 tab-separated fields, found " << f.size() << "\n";
            return 1;
        }
        dravonel::SignatureForm form;
        form.extension = cell(f[0]);
        form.startSignature = cell(f[1]);
        form.endSignature = cell(f[2]);
        form.offsetToSizeBytes = cell(f[3]);
        form.bytesInSize = cell(f[4]);
        form.headerSize = cell(f[5]);
        form.sizeIncludesHeader = f[6] == "1";
        form.sizeToSkip = cell(f[7]);
        form.approxFileSize = cell(f[8]);
        form.category = cell(f[9]);
        const auto built = dravonel::buildSignatureRecord(form, static_cast<std::uint8_t>(records.size()));
        if (!built.record) {
            std::cerr << argv[1] << ":" << lineNumber << ": " << dravonel::toUtf8(built.message) << "\n";
            return 1;
        }
        records.push_back(*built.record);
    }
    if (!dravonel::writeSignatureFile(argv[2], records)) {
        std::cerr << argv[2] << ": file can not be created\n";
        return 1;
    }
    return 0;
}
