// The user documentation holds together: every picture a page shows exists
// and is a PNG image, and every relative link between the pages leads to a
// file, and to a heading of it where it names one. Pages are README.md and
// docs/*.md; links inside code are not links.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

QString readText(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

// The page's prose: fenced blocks, indented code lines and code spans removed.
QStringList proseLines(const QString& text) {
    QStringList lines;
    bool fenced = false;
    static const QRegularExpression codeSpan(QStringLiteral("`[^`]*`"));
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QLatin1String("```"))) {
            fenced = !fenced;
            lines << QString();
            continue;
        }
        if (fenced || line.startsWith(QLatin1String("    ")) || line.startsWith(QLatin1Char('\t')))
            line.clear();
        lines << line.remove(codeSpan);
    }
    return lines;
}

// The anchors the headings of a page get: lower case, spaces as hyphens, every
// character but letters, digits, hyphens and underscores dropped; a repeated
// heading gets "-1", "-2", ...
QSet<QString> anchorsOf(const QString& text) {
    QSet<QString> anchors;
    QHash<QString, int> seen;
    static const QRegularExpression heading(QStringLiteral("^#{1,6}\\s+(.*?)\\s*#*\\s*$"));
    for (const QString& line : proseLines(text)) {
        const QRegularExpressionMatch m = heading.match(line);
        if (!m.hasMatch())
            continue;
        QString slug;
        for (const QChar c : m.captured(1).toLower()) {
            if (c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_'))
                slug += c;
            else if (c == QLatin1Char(' '))
                slug += QLatin1Char('-');
        }
        const int n = seen.value(slug, 0);
        seen[slug] = n + 1;
        anchors.insert(n == 0 ? slug : slug + QLatin1Char('-') + QString::number(n));
    }
    return anchors;
}

bool isPng(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.read(8) == QByteArray("\x89PNG\r\n\x1a\n", 8);
}

struct PageLinks {
    QStringList pictures; // the files the page shows, resolved
    QStringList problems; // one line per link that leads nowhere
};

// Checks every link of one page; `page` is its path.
PageLinks checkPage(const QString& page) {
    PageLinks out;
    const QString text = readText(page);
    const QDir dir = QFileInfo(page).absoluteDir();
    static const QRegularExpression link(
        QStringLiteral("(!?)\\[[^\\]]*\\]\\(\\s*<?([^)\\s>]+)>?(?:\\s+\"[^\"]*\")?\\s*\\)"));
    static const QRegularExpression scheme(QStringLiteral("^[a-zA-Z][a-zA-Z0-9+.-]*:"));
    const QStringList lines = proseLines(text);
    for (int i = 0; i < lines.size(); ++i) {
        auto it = link.globalMatch(lines[i]);
        while (it.hasNext()) {
            const QRegularExpressionMatch m = it.next();
            const bool picture = !m.captured(1).isEmpty();
            const QString target = m.captured(2);
            if (scheme.match(target).hasMatch())
                continue; // a web address: not this repository's to check
            const int hash = int(target.indexOf(QLatin1Char('#')));
            const QString file = hash < 0 ? target : target.left(hash);
            const QString anchor = hash < 0 ? QString() : target.mid(hash + 1);
            const QString where =
                QStringLiteral("%1:%2: %3").arg(QFileInfo(page).fileName()).arg(i + 1).arg(target);
            const QString resolved = file.isEmpty() ? page : dir.absoluteFilePath(file);
            if (!QFileInfo::exists(resolved)) {
                out.problems << where + QStringLiteral(" (no such file)");
                continue;
            }
            if (picture) {
                out.pictures << QFileInfo(resolved).canonicalFilePath();
                if (!isPng(resolved))
                    out.problems << where + QStringLiteral(" (not a PNG picture)");
                continue;
            }
            if (!anchor.isEmpty() && resolved.endsWith(QLatin1String(".md")) &&
                !anchorsOf(readText(resolved)).contains(anchor))
                out.problems << where + QStringLiteral(" (no such heading)");
        }
    }
    return out;
}

QStringList documentationPages() {
    const QDir top(QStringLiteral(SOURCE_DIR));
    QStringList pages{top.filePath(QStringLiteral("README.md"))};
    const QDir docs(top.filePath(QStringLiteral("docs")));
    for (const QString& name : docs.entryList({QStringLiteral("*.md")}, QDir::Files, QDir::Name))
        pages << docs.filePath(name);
    return pages;
}

TEST(Docs, EveryPictureAndLinkOfThePagesLeadsSomewhere) {
    const QStringList pages = documentationPages();
    ASSERT_GT(pages.size(), 1) << "no pages in docs/";
    QStringList problems;
    QSet<QString> pictures;
    for (const QString& page : pages) {
        const PageLinks links = checkPage(page);
        problems << links.problems;
        for (const QString& p : links.pictures)
            pictures.insert(p);
    }
    EXPECT_TRUE(problems.isEmpty()) << problems.join(QLatin1Char('\n')).toStdString();
    // The README shows the window, and the window's page shows its tabs.
    EXPECT_FALSE(checkPage(pages.first()).pictures.isEmpty()) << "the README shows no picture";
    EXPECT_GE(pictures.size(), 5) << "the pages show fewer pictures than the window has tabs";
}

// The checks themselves, on pages made for the purpose: each kind of broken
// link is found, and what is sound or is code is left alone.
TEST(Docs, TheCheckFindsEachKindOfBrokenLink) {
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QDir dir(tmp.path());
    dir.mkpath(QStringLiteral("images"));
    auto write = [&](const QString& name, const QByteArray& bytes) {
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write(QStringLiteral("images/good.png"), QByteArray("\x89PNG\r\n\x1a\n....", 12));
    write(QStringLiteral("images/text.png"), "version https://git-lfs.github.com/spec/v1\n");
    write(QStringLiteral("other.md"), "# Other page\n\n## The \"model's\" tab: one_two\n\n"
                                      "## Twice\n\n## Twice\n");
    write(QStringLiteral("page.md"),
          "# Page\n\n"
          "![sound](images/good.png) and [a heading](other.md#the-models-tab-one_two)\n"
          "[the second of two](other.md#twice-1) [here](#page) [web](https://example.org/x)\n"
          "![gone](images/gone.png)\n"
          "![no picture](images/text.png)\n"
          "[no page](missing.md)\n"
          "[no heading](other.md#nowhere)\n"
          "[no heading here](#nowhere-either)\n"
          "`[in code](missing-in-span.md)`\n"
          "\n    [indented code](missing-in-block.md)\n\n"
          "```\n[fenced](missing-in-fence.md)\n```\n");

    const PageLinks links = checkPage(dir.filePath(QStringLiteral("page.md")));
    const QStringList expected = {
        QStringLiteral("page.md:5: images/gone.png (no such file)"),
        QStringLiteral("page.md:6: images/text.png (not a PNG picture)"),
        QStringLiteral("page.md:7: missing.md (no such file)"),
        QStringLiteral("page.md:8: other.md#nowhere (no such heading)"),
        QStringLiteral("page.md:9: #nowhere-either (no such heading)"),
    };
    EXPECT_EQ(links.problems, expected) << links.problems.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(links.pictures.size(), 2); // good.png and text.png
}

} // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
