// Project and settings files far larger than any real one are refused at
// once with a sentence that names them, never read key by key.
#include "tests/ui/MainWindowFixture.h"

#include <QLineEdit>
#include <fstream>

namespace kartivo::ui {

namespace {

void WriteHugeIni(const std::string& path, const std::string& head)
{
    std::ofstream out(path, std::ios::binary);
    out << head;
    const std::string filler(1 << 20, ';');
    for (int i = 0; i < 3; ++i)
        out << filler;
}

class LargeFilesTest : public testing::MainWindowTest {};

TEST_F(LargeFilesTest, HugeSettingsFileIsNamedAndTheDefaultsUsed)
{
    WriteHugeIni(IniPath(), "[IniParas]\r\nDefaultPath=/from/the/file/\r\n");
    OpenWindow();
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{IniPath() + " is not a Kartivo settings file."});
    EXPECT_NE(form->Edit6->text().toStdString(), "/from/the/file/");
}

TEST_F(LargeFilesTest, HugeProjectFileIsRefusedAndTheWindowKept)
{
    OpenWindow();
    form->Edit1->setText("1.5");
    const std::string project = saveRoot.Path() + "huge.kvpd";
    WriteHugeIni(project, "[AREA]\r\nLeftLongitude=7\r\n");
    dialogs.openAnswers.push_back(project);
    form->LoadParametersfromprojectfilel1Click();
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{project + " is not a Kartivo project."});
    EXPECT_EQ(form->Edit1->text().toStdString(), "1.5");
}

} // namespace

} // namespace kartivo::ui
