#include "csv.h"

std::string csv_row(const std::vector<std::string>& fields)
{
    std::string row;
    for (std::size_t i = 0; i < fields.size(); i++) {
        if (i > 0)
            row += ',';
        const std::string& f = fields[i];
        if (f.find_first_of(",\"\r\n") == std::string::npos) {
            row += f;
            continue;
        }
        row += '"';
        for (const char c : f) {
            if (c == '"')
                row += '"';
            row += c;
        }
        row += '"';
    }
    return row + "\r\n";
}

bool csv_records(const std::string& text, std::vector<csv_record>& records, int& bad_line)
{
    int line = 1;
    std::size_t at = 0;
    while (at < text.size()) {
        csv_record record{line, {}};
        std::string field;
        bool more = true;
        while (more) {
            field.clear();
            if (at < text.size() && text[at] == '"') {
                const int opened = line;
                at++;
                while (true) {
                    if (at == text.size()) {
                        bad_line = opened;
                        return false;
                    }
                    const char c = text[at++];
                    if (c == '"') {
                        if (at < text.size() && text[at] == '"') {
                            field += '"';
                            at++;
                            continue;
                        }
                        break;
                    }
                    line += c == '\n' ? 1 : 0;
                    field += c;
                }
                if (at < text.size() && text[at] != ',' && text[at] != '\n' && text.compare(at, 2, "\r\n") != 0) {
                    bad_line = line;
                    return false;
                }
            } else {
                while (at < text.size() && text[at] != ',' && text[at] != '\n' && text.compare(at, 2, "\r\n") != 0) {
                    if (text[at] == '"') {
                        bad_line = line;
                        return false;
                    }
                    field += text[at++];
                }
            }
            record.fields.push_back(field);
            if (at < text.size() && text[at] == ',') {
                at++;
            } else {
                // A line end, or the end of the text, ends the record.
                if (at < text.size())
                    at += text[at] == '\r' ? 2 : 1;
                line++;
                more = false;
            }
        }
        records.push_back(std::move(record));
    }
    return true;
}
