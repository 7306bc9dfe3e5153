// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file as users and accidents leave it: missing, unreadable,
// garbage, values of the wrong kind or out of range, and a folder that
// cannot be written. Each case gets a folder of its own: QSettings keeps
// what it read of a file for the whole process.
#include "shell/settings_store.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ktal {
namespace {

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  file.write(bytes);
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Opens a store on `path`, collecting its notes.
struct OpenedStore {
  explicit OpenedStore(const QString& path)
      : store(path, [this](const QString& note) { notes.push_back(note); }) {}
  std::vector<QString> notes;
  SettingsStore store;
};

std::string Joined(const std::vector<QString>& notes) {
  std::string text;
  for (const QString& note : notes) text += note.toStdString() + "\n";
  return text;
}

TEST(SettingsFile, WhatIsWrongGetsItsDefaultAndOneNoteNamingIt) {
  struct Case {
    const char* name;
    // The file's bytes; nullopt: no file; "<folder>": a folder in its place.
    std::optional<QByteArray> content;
    // What differs from the defaults: what the file holds that is right.
    std::function<void(KeptSettings&)> kept;
    // One note each, holding this text (the key it names).
    std::vector<const char*> notes;
  };
  const auto nothing = [](KeptSettings&) {};
  const Case cases[] = {
      {"missing", std::nullopt, nothing, {}},
      {"unreadable", QByteArray("<folder>"), nothing, {"cannot be read"}},
      {"garbage bytes",
       QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\xff\xfe\x01\x02=\x03", 20),
       nothing,
       {"is damaged"}},
      {"garbage after a good key",
       QByteArray("[report]\nhtml=true\n\xff\xfe\xfd\n"),
       [](KeptSettings& s) { s.report.htmlReport = true; },
       {"is damaged (line 3)"}},
      {"a line that is no setting",
       "just some words\n[report]\nperiodicError=true\n",
       [](KeptSettings& s) { s.report.peTables = true; },
       {"is damaged (line 1)"}},
      {"focal length 0, worm period fine",
       "[report]\nfocalLength=0\nwormPeriod=480\n",
       [](KeptSettings& s) { s.report.wormPeriod = 480; },
       {"report/focalLength"}},
      {"focal length below 0", "[report]\nfocalLength=-1000\n", nothing, {"report/focalLength"}},
      {"focal length not a number",
       "[report]\nfocalLength=long\n",
       nothing,
       {"report/focalLength"}},
      {"focal length not whole", "[report]\nfocalLength=1000.5\n", nothing, {"report/focalLength"}},
      {"focal length past an int",
       "[report]\nfocalLength=99999999999\n",
       nothing,
       {"report/focalLength"}},
      {"worm period 0", "[report]\nwormPeriod=0\n", nothing, {"report/wormPeriod"}},
      {"DEC above 90", "[report]\nstarDec=90.5\n", nothing, {"report/starDec"}},
      {"DEC below -90", "[report]\nstarDec=-91\n", nothing, {"report/starDec"}},
      {"DEC not a number", "[report]\nstarDec=nan\n", nothing, {"report/starDec"}},
      {"DEC infinite", "[report]\nstarDec=inf\n", nothing, {"report/starDec"}},
      {"DEC at its limit, numbers left empty",
       "[report]\nstarDec=-90\nfocalLength=\nwormPeriod=\n",
       [](KeptSettings& s) { s.report.starDec = -90.0; },
       {}},
      {"unknown CSV format",
       "[report]\ncsvFormat=tab\nhtml=true\n",
       [](KeptSettings& s) { s.report.htmlReport = true; },
       {"report/csvFormat"}},
      {"a check box neither on nor off",
       "[report]\nphd2GuideLog=maybe\n",
       nothing,
       {"report/phd2GuideLog"}},
      {"night mode of the wrong type",
       "[display]\nnightMode=@Rect(1 2 3 4)\n",
       nothing,
       {"display/nightMode"}},
      {"a folder that is a list", "[folders]\noutput=/a, /b\n", nothing, {"folders/output"}},
      {"a folder that is not a string",
       "[folders]\nfirmware=@Rect(1 2 3 4)\n",
       nothing,
       {"folders/firmware"}},
      {"a relative folder", "[folders]\nlocalFile=logs/night1\n", nothing, {"folders/localFile"}},
      {"a place that is not one",
       "[windows]\nlauncher=top left\nfileControl=@Rect(10 20 300 200)\n",
       [](KeptSettings& s) { s.windowPlaces["fileControl"] = QRect(10, 20, 300, 200); },
       {"windows/launcher"}},
      {"a place without a size",
       "[windows]\nlauncher=@Rect(10 20 0 200)\n",
       nothing,
       {"windows/launcher"}},
      {"a place beyond any desktop",
       "[windows]\ncameraControl=@Rect(10 90000000 300 200)\n",
       nothing,
       {"windows/cameraControl"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir folder;
    const QString path = folder.filePath("ktal-companion.ini");
    if (c.content == QByteArray("<folder>")) {
      ASSERT_TRUE(QDir().mkdir(path));
    } else if (c.content) {
      WriteFile(path, *c.content);
    }
    OpenedStore opened(path);
    KeptSettings wanted;
    c.kept(wanted);
    EXPECT_EQ(opened.store.values(), wanted);
    ASSERT_EQ(opened.notes.size(), c.notes.size()) << Joined(opened.notes);
    for (std::size_t i = 0; i < c.notes.size(); ++i) {
      EXPECT_TRUE(opened.notes[i].contains(c.notes[i])) << opened.notes[i].toStdString();
      // Every note says which file it is about.
      EXPECT_TRUE(opened.notes[i].contains(QDir::toNativeSeparators(path)))
          << opened.notes[i].toStdString();
    }
  }
}

// The first run writes the defaults, so that the user finds the file and
// what it can hold; the next run reads them back without a word.
TEST(SettingsFile, FirstRunWritesTheDefaultsForTheUserToFind) {
  QTemporaryDir folder;
  const QString path = folder.filePath("ktal-companion/ktal-companion.ini");
  {
    OpenedStore first(path);
    EXPECT_TRUE(first.notes.empty()) << Joined(first.notes);
  }
  const QByteArray written = ReadFile(path);
  EXPECT_TRUE(written.contains("focalLength=")) << written.toStdString();
  EXPECT_TRUE(written.contains("csvFormat=excel")) << written.toStdString();
  const QString copy = folder.filePath("copy.ini");
  ASSERT_TRUE(QFile::copy(path, copy));
  OpenedStore second(copy);
  EXPECT_TRUE(second.notes.empty()) << Joined(second.notes);
  EXPECT_EQ(second.store.values(), KeptSettings{});
}

TEST(SettingsFile, EverySettingComesBackAsWritten) {
  QTemporaryDir folder;
  const QString path = folder.filePath("ktal-companion.ini");
  KeptSettings all;
  all.report = {.csvFormat = 1,
                .htmlReport = true,
                .peTables = true,
                .phd2GuideLog = true,
                .focalLength = 1000,
                .wormPeriod = 479,
                // No binary fraction: written in its shortest form, read back exactly.
                .starDec = -45.123456};
  // Commas, blanks, an equals sign and letters beyond ASCII in folder names.
  all.outputFolder = "/home/astro/nights, 2025/M31 = done";
  all.localFileFolder = "/media/stick/Ürümqi nights";
  all.firmwareFolder = "/opt/firmware;old";
  all.nightMode = true;
  all.windowPlaces = {{"launcher", QRect(-1200, 40, 320, 240)},
                      {"virtualUi", QRect(1400, 300, 560, 380)}};
  {
    OpenedStore writer(path);
    writer.store.SetReport(all.report);
    writer.store.SetOutputFolder(all.outputFolder);
    writer.store.SetLocalFileFolder(all.localFileFolder);
    writer.store.SetFirmwareFolder(all.firmwareFolder);
    writer.store.SetNightMode(all.nightMode);
    for (const auto& [window, place] : all.windowPlaces) writer.store.SetWindowPlace(window, place);
    EXPECT_EQ(writer.store.values(), all);
    EXPECT_TRUE(writer.notes.empty()) << Joined(writer.notes);
  }
  // Read from a copy: QSettings would answer from what it holds of the
  // written file, not from its text.
  const QString copy = folder.filePath("copy.ini");
  ASSERT_TRUE(QFile::copy(path, copy));
  OpenedStore reader(copy);
  EXPECT_EQ(reader.store.values(), all);
  EXPECT_TRUE(reader.notes.empty()) << Joined(reader.notes);

  // And the whole set at once, as the first run writes it.
  QTemporaryDir other;
  {
    QSettings file(other.filePath("all.ini"), QSettings::IniFormat);
    WriteSettings(all, file);
  }
  ASSERT_TRUE(QFile::copy(other.filePath("all.ini"), other.filePath("copy.ini")));
  QSettings file(other.filePath("copy.ini"), QSettings::IniFormat);
  std::vector<QString> notes;
  EXPECT_EQ(ReadSettings(file, notes), all);
  EXPECT_TRUE(notes.empty()) << Joined(notes);
}

// A configuration folder that cannot be written (here: its parent is a
// file, which stops root as well as anyone) costs what is changed in this
// run and one note, nothing more.
TEST(SettingsFile, UnwritableFileSaysSoOnceAndKeepsChangesForTheRun) {
  QTemporaryDir folder;
  WriteFile(folder.filePath("not-a-folder"), "x");
  const QString path = folder.filePath("not-a-folder/ktal-companion/ktal-companion.ini");
  OpenedStore opened(path);
  ASSERT_EQ(opened.notes.size(), 1u) << Joined(opened.notes);
  EXPECT_TRUE(opened.notes[0].contains("cannot be written")) << opened.notes[0].toStdString();
  opened.store.SetNightMode(true);
  opened.store.SetOutputFolder("/data/nights");
  EXPECT_EQ(opened.notes.size(), 1u) << Joined(opened.notes);
  EXPECT_TRUE(opened.store.values().nightMode);
  EXPECT_EQ(opened.store.values().outputFolder, "/data/nights");
}

// A file far larger than the program writes is not its own: it is neither
// read nor written over.
TEST(SettingsFile, HugeFileIsLeftAlone) {
  QTemporaryDir folder;
  const QString path = folder.filePath("ktal-companion.ini");
  const QByteArray huge = "[display]\nnightMode=true\n" + QByteArray(2 << 20, ';');
  WriteFile(path, huge);
  OpenedStore opened(path);
  ASSERT_EQ(opened.notes.size(), 1u) << Joined(opened.notes);
  EXPECT_TRUE(opened.notes[0].contains("too large")) << opened.notes[0].toStdString();
  EXPECT_FALSE(opened.store.values().nightMode);
  opened.store.SetNightMode(false);
  EXPECT_EQ(ReadFile(path), huge);
}

}  // namespace
}  // namespace ktal
