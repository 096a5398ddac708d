#include "support/xlsx_reader.h"

#include <QDir>
#include <QProcess>
#include <QXmlStreamReader>

#include <ostream>
#include <stdexcept>

namespace {

QByteArray unzipMember(const QString& path, const QString& member) {
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), path, member});
    if (!unzip.waitForFinished(30000) || unzip.exitStatus() != QProcess::NormalExit ||
        unzip.exitCode() != 0)
        throw std::runtime_error(("cannot unpack " + member + " from " + path).toStdString() +
                                 ": " + unzip.readAllStandardError().toStdString());
    return unzip.readAllStandardOutput();
}

void check(const QXmlStreamReader& xml, const QString& what) {
    if (xml.hasError())
        throw std::runtime_error(("bad XML in " + what + ": " + xml.errorString()).toStdString());
}

// "BC12" -> (12, 55)
std::pair<int, int> cellPosition(const QString& ref) {
    int column = 0;
    int i = 0;
    while (i < ref.size() && ref[i].isLetter()) {
        column = column * 26 + (ref[i].toUpper().unicode() - 'A' + 1);
        ++i;
    }
    return {ref.mid(i).toInt(), column};
}

// Text of an <si> or <is> element: every <t> inside it, rich-text runs included.
QString readStringItem(QXmlStreamReader& xml) {
    const QString end = xml.name().toString();
    QString text;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("t"))
            text += xml.readElementText();
        else if (xml.isEndElement() && xml.name() == end)
            break;
    }
    return text;
}

// Targets of a part's relationships, as paths inside the package; empty when
// the part has none.
QStringList relationshipTargets(const QString& path, const QStringList& members,
                                const QString& part) {
    const int slash = part.lastIndexOf(QLatin1Char('/'));
    const QString dir = part.left(slash);
    const QString rels =
        dir + QStringLiteral("/_rels/") + part.mid(slash + 1) + QStringLiteral(".rels");
    if (!members.contains(rels))
        return {};
    QStringList targets;
    QXmlStreamReader xml(unzipMember(path, rels));
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("Relationship")) {
            const QString target = xml.attributes().value(QLatin1String("Target")).toString();
            targets << (target.startsWith(QLatin1Char('/'))
                            ? target.mid(1)
                            : QDir::cleanPath(dir + QLatin1Char('/') + target));
        }
    }
    check(xml, rels);
    return targets;
}

XlsxChart readChart(const QString& path, const QString& part) {
    XlsxChart chart;
    chart.part = part;
    QXmlStreamReader xml(unzipMember(path, part));
    // The chart's own title comes before its plot area; axis titles lie inside it.
    bool inPlotArea = false, inTitle = false, titleDone = false;
    while (!xml.atEnd()) {
        xml.readNext();
        const auto name = xml.name();
        if (xml.isEndElement()) {
            if (name == QLatin1String("plotArea"))
                inPlotArea = false;
            else if (name == QLatin1String("title") && inTitle) {
                inTitle = false;
                titleDone = true;
            }
            continue;
        }
        if (!xml.isStartElement())
            continue;
        if (name == QLatin1String("plotArea")) {
            inPlotArea = true;
        } else if (name == QLatin1String("title") && !inPlotArea && !titleDone) {
            inTitle = true;
        } else if (name == QLatin1String("t") && inTitle) {
            chart.title += xml.readElementText();
        } else if (name == QLatin1String("f")) {
            chart.formulas << xml.readElementText();
        } else if (name == QLatin1String("srgbClr")) {
            chart.colours << xml.attributes().value(QLatin1String("val")).toString().toUpper();
        } else if (name == QLatin1String("logBase")) {
            chart.logScale = true;
        } else if (inPlotArea && chart.type.isEmpty() && name.endsWith(QLatin1String("Chart"))) {
            chart.type = name.toString();
        }
    }
    check(xml, part);
    return chart;
}

} // namespace

XlsxReader::XlsxReader(const QString& path) {
    QStringList shared;
    QStringList members;
    {
        QProcess list;
        list.start(QStringLiteral("unzip"), {QStringLiteral("-Z1"), path});
        list.waitForFinished(30000);
        if (list.exitCode() != 0)
            throw std::runtime_error(("not a zip file: " + path).toStdString());
        members = QString::fromUtf8(list.readAllStandardOutput()).split(QLatin1Char('\n'));
        if (members.contains(QStringLiteral("xl/sharedStrings.xml"))) {
            QXmlStreamReader xml(unzipMember(path, QStringLiteral("xl/sharedStrings.xml")));
            while (!xml.atEnd()) {
                xml.readNext();
                if (xml.isStartElement() && xml.name() == QLatin1String("si"))
                    shared << readStringItem(xml);
            }
            check(xml, QStringLiteral("sharedStrings.xml"));
        }
    }

    QMap<QString, QString> targets; // relationship id -> part
    {
        QXmlStreamReader xml(unzipMember(path, QStringLiteral("xl/_rels/workbook.xml.rels")));
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isStartElement() && xml.name() == QLatin1String("Relationship")) {
                QString target = xml.attributes().value(QLatin1String("Target")).toString();
                if (target.startsWith(QLatin1Char('/')))
                    target = target.mid(1);
                else
                    target = QStringLiteral("xl/") + target;
                targets.insert(xml.attributes().value(QLatin1String("Id")).toString(), target);
            }
        }
        check(xml, QStringLiteral("workbook.xml.rels"));
    }

    QList<std::pair<QString, QString>> order; // name, part
    {
        QXmlStreamReader xml(unzipMember(path, QStringLiteral("xl/workbook.xml")));
        while (!xml.atEnd()) {
            xml.readNext();
            if (xml.isStartElement() && xml.name() == QLatin1String("sheet")) {
                QString rid;
                for (const QXmlStreamAttribute& a : xml.attributes())
                    if (a.name() == QLatin1String("id"))
                        rid = a.value().toString();
                order.append(
                    {xml.attributes().value(QLatin1String("name")).toString(), targets.value(rid)});
            }
        }
        check(xml, QStringLiteral("workbook.xml"));
    }

    for (const auto& [name, part] : order) {
        names << name;
        QMap<std::pair<int, int>, XlsxCell>& sheetCells = sheets[name];
        QXmlStreamReader xml(unzipMember(path, part));
        while (!xml.atEnd()) {
            xml.readNext();
            if (!(xml.isStartElement() && xml.name() == QLatin1String("c")))
                continue;
            const auto pos = cellPosition(xml.attributes().value(QLatin1String("r")).toString());
            const QString type = xml.attributes().value(QLatin1String("t")).toString();
            QString value;
            bool hasValue = false;
            while (!xml.atEnd()) {
                xml.readNext();
                if (xml.isStartElement() && xml.name() == QLatin1String("v")) {
                    value = xml.readElementText();
                    hasValue = true;
                } else if (xml.isStartElement() && xml.name() == QLatin1String("is")) {
                    value = readStringItem(xml);
                    hasValue = true;
                } else if (xml.isEndElement() && xml.name() == QLatin1String("c")) {
                    break;
                }
            }
            if (!hasValue)
                continue;
            if (type == QLatin1String("s"))
                sheetCells.insert(pos, text(shared.value(value.toInt())));
            else if (type == QLatin1String("inlineStr") || type == QLatin1String("str"))
                sheetCells.insert(pos, text(value));
            else
                sheetCells.insert(pos, number(value.toDouble()));
        }
        check(xml, part);

        for (const QString& drawing : relationshipTargets(path, members, part))
            if (drawing.contains(QLatin1String("/drawings/")))
                for (const QString& chart : relationshipTargets(path, members, drawing))
                    if (chart.contains(QLatin1String("/charts/")))
                        sheetCharts[name].append(readChart(path, chart));
    }
}

std::optional<XlsxCell> XlsxReader::cell(const QString& sheet, int row, int column) const {
    const auto& sheetCells = sheets.value(sheet);
    const auto it = sheetCells.constFind({row, column});
    if (it == sheetCells.cend())
        return std::nullopt;
    return *it;
}

QMap<std::pair<int, int>, XlsxCell> XlsxReader::cells(const QString& sheet) const {
    if (!sheets.contains(sheet))
        throw std::runtime_error(("no sheet " + sheet).toStdString());
    return sheets.value(sheet);
}

void PrintTo(const XlsxCell& cell, std::ostream* os) {
    if (cell.isText)
        *os << "text \"" << cell.text.toStdString() << "\"";
    else
        *os << "number " << cell.number;
}
