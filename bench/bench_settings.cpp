// The writes of Exit against a 10 MB settings file, next to reading and
// replacing the same file once per value by hand.
#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <chrono>
#include <cstdio>
#include <string>

#include "settings.h"

namespace {

constexpr int kExitWrites = 11;  // placement, four column widths, filter and row

double Ms(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(temp.path()));
    SetSettingsApplication("Lorvane");
    const QString path = temp.path() + "/Quillon/Lorvane.ini";
    QDir().mkpath(temp.path() + "/Quillon");

    // Another tool's values: about 100,000 lines of 100 bytes.
    QByteArray content = "[General]\n";
    const QByteArray filler(88, 'x');
    for (int i = 0; content.size() < 10 * 1024 * 1024; ++i)
        content += "K" + QByteArray::number(100000 + i) + "=" + filler + "\n";
    {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(content);
    }

    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kExitWrites; ++i) WriteSettingInt("LIST_" + std::to_string(i), 100 + i);
    const auto t1 = std::chrono::steady_clock::now();
    for (int i = 0; i < kExitWrites; ++i) {
        QFile in(path);
        in.open(QIODevice::ReadOnly);
        const QByteArray all = in.readAll();
        QSaveFile out(path);
        out.open(QIODevice::WriteOnly);
        out.write(all);
        out.commit();
    }
    const auto t2 = std::chrono::steady_clock::now();
    const double store = Ms(t1 - t0), raw = Ms(t2 - t1);
    std::printf(
        "Exit writes, 10 MB settings file: %.0f ms (read+replace baseline %.0f ms, ratio %.1f)\n",
        store, raw, store / raw);
    return 0;
}
