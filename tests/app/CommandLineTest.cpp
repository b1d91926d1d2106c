#include <gtest/gtest.h>

#include <string>

#include "app/CommandLine.h"

// What a deployment script may type, and what the installer takes from it.
TEST(CommandLine, OptionsAndTheFolderAsTheRestOfTheLine) {
    const struct {
        const wchar_t* line;
        bool silent, help, unknown, folderGiven;
        const wchar_t* folder;
    } cases[] = {
        {L"", false, false, false, false, L""},
        {L"/S", true, false, false, false, L""},
        {L"  /s  ", true, false, false, false, L""},
        {L"/S /D=D:\\Apps\\Vexo Apps\\kavix", true, false, false, true, L"D:\\Apps\\Vexo Apps\\kavix"},
        {L"/D=C:\\kavix /S", false, false, false, true, L"C:\\kavix /S"},  // the rest of the line, whatever it holds
        {L"/S \"/D=C:\\Vexo Apps\\kavix\"", true, false, false, true, L"C:\\Vexo Apps\\kavix"},
        {L"/S /D=\"C:\\My Apps\\kavix\"", true, false, false, true, L"C:\\My Apps\\kavix"},
        {L"/D=\" C:\\My Apps\\kavix \" ", false, false, false, true, L" C:\\My Apps\\kavix "},
        {L"/D=\"C:\\kavix", false, false, false, true, L"\"C:\\kavix"},  // unmatched: left to the folder check
        {L"/S /D=", true, false, false, true, L""},
        {L"/?", false, true, false, false, L""},
        {L"/S /X", true, false, true, false, L""},
        {L"setup", false, false, true, false, L""},
    };
    for (const auto& c : cases) {
        const CommandLine line = ParseCommandLine(c.line);
        const std::string where(c.line, c.line + std::wcslen(c.line));
        EXPECT_EQ(line.silent, c.silent) << where;
        EXPECT_EQ(line.help, c.help) << where;
        EXPECT_EQ(line.unknown, c.unknown) << where;
        EXPECT_EQ(line.folderGiven, c.folderGiven) << where;
        EXPECT_EQ(line.folder, c.folder) << where;
    }
}
