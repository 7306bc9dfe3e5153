// SPDX-License-Identifier: GPL-3.0-or-later
// The settings file as users and accidents leave it: missing, unreadable,
// garbage, values of the wrong kind or out of range, and a folder that
// cannot be written. Each case gets a file of its own: QSettings keeps
// what it read of a file for the whole process.
#include "shell/settings_store.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <functional>
#include <string>
#include <vector>

namespace ktal {
namespace {

void WriteFile(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  file.write(bytes);
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

// What a later run reads of the file at `path`, which must need no note.
// Read from a fresh copy: QSettings answers from what it holds of a file it
// wrote, not from its text.
KeptSettings ReadBack(const QString& path) {
  static int copies = 0;
  const QString copy = QString("%1.copy%2").arg(path).arg(++copies);
  EXPECT_TRUE(QFile::copy(path, copy));
  OpenedStore reader(copy);
  EXPECT_TRUE(reader.notes.empty()) << Joined(reader.notes);
  return reader.store.values();
}

TEST(SettingsFile, WhatIsWrongGetsItsDefaultAndOneNoteNamingIt) {
  struct Case {
    const char* name;
    // The file's bytes; "<folder>": a folder in its place.
    QByteArray content;
    // One note each, holding this text (the key it names), in any order.
    std::vector<const char*> notes;
    // What differs from the defaults: what the file holds that is right.
    std::function<void(KeptSettings&)> kept = [](KeptSettings&) {};
  };
  const Case cases[] = {
      {"unreadable", "<folder>", {"cannot be read"}},
      {"garbage after a good key",
       QByteArray("[report]\nhtml=true\n\xff\xfe\xfd\n"),
       {"is damaged (line 3)"},
       [](KeptSettings& s) { s.report.htmlReport = true; }},
      {"a line that is no setting",
       "just some words\n[report]\nperiodicError=true\n",
       {"is damaged (line 1)"},
       [](KeptSettings& s) { s.report.peTables = true; }},
      {"numbers above their range or not whole",
       "[report]\nstarDec=90.5\nfocalLength=1000.5\n",
       {"report/starDec", "report/focalLength"}},
      {"numbers below their range",
       "[report]\nstarDec=-91\nwormPeriod=0\n",
       {"report/starDec", "report/wormPeriod"}},
      {"numbers that are none or past an int, beside a good one",
       "[report]\nstarDec=nan\nfocalLength=99999999999\nwormPeriod=480\n",
       {"report/starDec", "report/focalLength"},
       [](KeptSettings& s) { s.report.wormPeriod = 480; }},
      {"DEC at its limit, numbers left empty",
       "[report]\nstarDec=-90\nfocalLength=\nwormPeriod=\n",
       {},
       [](KeptSettings& s) { s.report.starDec = -90.0; }},
      {"an unknown CSV format and switches neither on nor off",
       "[report]\ncsvFormat=tab\nhtml=true\nphd2GuideLog=maybe\n"
       "[display]\nnightMode=@Rect(1 2 3 4)\n",
       {"report/csvFormat", "report/phd2GuideLog", "display/nightMode"},
       [](KeptSettings& s) { s.report.htmlReport = true; }},
      {"folders that are a list, relative or no string",
       "[folders]\noutput=/a, /b\nlocalFile=logs/night1\nfirmware=@Rect(1 2 3 4)\n",
       {"folders/output", "folders/localFile", "folders/firmware"}},
      {"places that are none, without a size or beyond any desktop",
       "[windows]\nlauncher=top left\nfileControl=@Rect(10 20 300 200)\n"
       "virtualUi=@Rect(10 20 0 200)\ncameraControl=@Rect(10 90000000 300 200)\n",
       {"windows/launcher", "windows/virtualUi", "windows/cameraControl"},
       [](KeptSettings& s) { s.windowPlaces["fileControl"] = QRect(10, 20, 300, 200); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir folder;
    const QString path = folder.filePath("ktal-companion.ini");
    if (c.content == QByteArray("<folder>")) {
      ASSERT_TRUE(QDir().mkdir(path));
    } else {
      WriteFile(path, c.content);
    }
    OpenedStore opened(path);
    KeptSettings wanted;
    c.kept(wanted);
    EXPECT_EQ(opened.store.values(), wanted);
    ASSERT_EQ(opened.notes.size(), c.notes.size()) << Joined(opened.notes);
    const std::string joined = Joined(opened.notes);
    for (const char* text : c.notes) {
      EXPECT_NE(joined.find(text), std::string::npos) << text << " in:\n" << joined;
    }
    // Every note says which file it is about.
    for (const QString& note : opened.notes) {
      EXPECT_TRUE(note.contains(QDir::toNativeSeparators(path))) << note.toStdString();
    }
  }
}

// The first run writes the defaults for the user to find; every setting,
// written one at a time or all at once, comes back as it was.
TEST(SettingsFile, EverySettingComesBackAsWritten) {
  QTemporaryDir folder;
  const QString path = folder.filePath("ktal-companion/ktal-companion.ini");
  OpenedStore writer(path);
  EXPECT_EQ(ReadBack(path), KeptSettings{});

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
  writer.store.SetReport(all.report);
  writer.store.SetOutputFolder(all.outputFolder);
  writer.store.SetLocalFileFolder(all.localFileFolder);
  writer.store.SetFirmwareFolder(all.firmwareFolder);
  writer.store.SetNightMode(all.nightMode);
  for (const auto& [window, place] : all.windowPlaces) writer.store.SetWindowPlace(window, place);
  EXPECT_EQ(writer.store.values(), all);
  EXPECT_TRUE(writer.notes.empty()) << Joined(writer.notes);
  EXPECT_EQ(ReadBack(path), all);

  {
    QSettings file(folder.filePath("all.ini"), QSettings::IniFormat);
    WriteSettings(all, file);
  }
  EXPECT_EQ(ReadBack(folder.filePath("all.ini")), all);
}

// A configuration folder that cannot be written (here: its parent is a
// file, which stops root as well as anyone) costs what is changed in this
// run and one note, nothing more.
TEST(SettingsFile, UnwritableFileSaysSoOnceAndKeepsChangesForTheRun) {
  QTemporaryDir folder;
  WriteFile(folder.filePath("not-a-folder"), "x");
  OpenedStore opened(folder.filePath("not-a-folder/ktal-companion/ktal-companion.ini"));
  opened.store.SetNightMode(true);
  opened.store.SetOutputFolder("/data/nights");
  ASSERT_EQ(opened.notes.size(), 1u) << Joined(opened.notes);
  EXPECT_TRUE(opened.notes[0].contains("cannot be written")) << opened.notes[0].toStdString();
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
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  EXPECT_EQ(file.readAll(), huge);
}

}  // namespace
}  // namespace ktal
