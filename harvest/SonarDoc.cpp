#include "harvest/SonarDoc.h"

#include "catalogue/IntConv.h"

const char* const kMakerWebAddress = "https://patchscribe.org";

std::vector<std::string> SonarHeaderLines(const TSynth& model) {
    return {";" + model.Name,
            " ",
            "; Created by Patchscribes",
            std::string("; ") + kMakerWebAddress,
            " ",
            " ",
            ".Patch Names",
            " ",
            "[" + model.Name + "]"};
}

std::vector<std::string> SonarTrailerLines(const TSynth& model) {
    std::vector<std::string> lines = {" ", ".Instrument Definitions", " ",
                                      "BankSelMethod=" + std::to_string(model.SonarBankMethod),
                                      " "};
    if (model.SonarBankMethod != 0) {
        const int64_t msb = StrToInt(model.BankMSB);
        const int64_t lsb = StrToInt(model.BankLSB);
        // Computed in 64 bits: any integer values are accepted.
        lines.push_back("Patch[" + std::to_string(msb * 128 + lsb) + "]=" + model.Name);
    } else {
        lines.push_back(";Don't know the Bank select method - next line needs fixing");
        lines.push_back("Patch[0]=" + model.Name);
    }
    lines.push_back(" ");
    return lines;
}
