#include "seed.h"

#include "core/wiredate.h"
#include "propertypage.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QUuid>
#include <QtEndian>

namespace {
quint32 crc32(const QByteArray &data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char ch : data) {
        crc ^= quint8(ch);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

void put16(QByteArray &b, quint16 v)
{
    char d[2];
    qToLittleEndian(v, d);
    b.append(d, 2);
}

void put32(QByteArray &b, quint32 v)
{
    char d[4];
    qToLittleEndian(v, d);
    b.append(d, 4);
}

// Stored (uncompressed) zip: enough for office documents and archives to open.
QByteArray zipArchive(const QList<std::pair<QByteArray, QByteArray>> &entries)
{
    QByteArray out;
    QByteArray central;
    for (const auto &[name, data] : entries) {
        const quint32 offset = quint32(out.size());
        const quint32 crc = crc32(data);
        QByteArray header;
        put32(header, 0x04034b50);
        put16(header, 20);
        put16(header, 0);
        put16(header, 0);
        put16(header, 0);
        put16(header, 0x21);
        put32(header, crc);
        put32(header, quint32(data.size()));
        put32(header, quint32(data.size()));
        put16(header, quint16(name.size()));
        put16(header, 0);
        out += header + name + data;
        put32(central, 0x02014b50);
        put16(central, 20);
        put16(central, 20);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0x21);
        put32(central, crc);
        put32(central, quint32(data.size()));
        put32(central, quint32(data.size()));
        put16(central, quint16(name.size()));
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put16(central, 0);
        put32(central, 0);
        put32(central, offset);
        central += name;
    }
    const quint32 centralOffset = quint32(out.size());
    out += central;
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, quint16(entries.size()));
    put16(out, quint16(entries.size()));
    put32(out, quint32(central.size()));
    put32(out, centralOffset);
    put16(out, 0);
    return out;
}

QByteArray contentTypes(const QByteArray &part, const QByteArray &type)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
           "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
           "<Override PartName=\"/" + part + "\" ContentType=\"" + type + "\"/></Types>";
}

QByteArray rels(const QByteArray &part)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
           "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
           "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" Target=\""
        + part + "\"/></Relationships>";
}

QByteArray pdf(const QByteArray &text)
{
    QList<QByteArray> objects{
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>",
        {},
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    const QByteArray stream = "BT /F1 18 Tf 72 770 Td (" + text + ") Tj ET";
    objects[3] = "<< /Length " + QByteArray::number(stream.size()) + " >>\nstream\n" + stream + "\nendstream";
    QByteArray out = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (int i = 0; i < objects.size(); ++i) {
        offsets << out.size();
        out += QByteArray::number(i + 1) + " 0 obj\n" + objects.at(i) + "\nendobj\n";
    }
    const qsizetype xref = out.size();
    out += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype o : offsets)
        out += QByteArray::number(o).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
        + QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

QByteArray image(const char *format, int version)
{
    QImage img(160, 120, QImage::Format_RGB888);
    img.fill(QColor(240, 240, 240));
    const QColor colour = QColor::fromHsv((version * 70) % 360, 160, 200);
    for (int y = 20; y < 100; ++y)
        for (int x = 20 + version * 10; x < 100 + version * 10; ++x)
            img.setPixelColor(x, y, colour);
    QByteArray out;
    QBuffer b(&out);
    b.open(QIODevice::WriteOnly);
    img.save(&b, format);
    return out;
}

bool addFile(Store &store, int owner, qint64 folder, const QString &name, int versions, int userId, int daysAgo, QString *error)
{
    qint64 key = 0;
    const QString ext = name.mid(name.lastIndexOf(u'.') + 1);
    for (int v = 1; v <= versions; ++v) {
        const QByteArray body = demoFileBody(ext, name, v);
        const QString tmp = store.stagingDir() + u'/' + QUuid::createUuid().toString(QUuid::WithoutBraces) + QStringLiteral(".tmp");
        QFile f(tmp);
        if (!f.open(QIODevice::WriteOnly) || f.write(body) != body.size()) {
            if (error)
                *error = QStringLiteral("Cannot write %1").arg(tmp);
            return false;
        }
        f.close();
        QString blob;
        if (!store.commitBlob(tmp, blob, error))
            return false;
        // Whole seconds, as a file system would report them.
        const double when = std::floor((NowDateTime() - daysAgo + v - versions - 0.1) * 86400.0) / 86400.0;
        key = store.addVersion(key, owner, folder, name, blob, body.size(), DateTimeToTicks(when), userId);
        if (key == 0) {
            if (error)
                *error = QStringLiteral("Cannot add %1: %2").arg(name, store.db().lastError());
            return false;
        }
    }
    return true;
}
} // namespace

QByteArray demoFileBody(const QString &ext, const QString &title, int version)
{
    const QByteArray t = title.toUtf8() + " - version " + QByteArray::number(version);
    const QByteArray paragraph = "<w:p><w:r><w:t>" + t + "</w:t></w:r></w:p>";
    if (ext == QLatin1String("txt"))
        return t + "\r\n\r\nThis is a demo document of the ZuDivuvo reference server.\r\n";
    if (ext == QLatin1String("pdf"))
        return pdf(t);
    if (ext == QLatin1String("png"))
        return image("PNG", version);
    if (ext == QLatin1String("jpg"))
        return image("JPG", version);
    if (ext == QLatin1String("docx"))
        return zipArchive({{"[Content_Types].xml", contentTypes("word/document.xml", "application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml")},
                           {"_rels/.rels", rels("word/document.xml")},
                           {"word/document.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>" + paragraph + "</w:body></w:document>"}});
    if (ext == QLatin1String("xlsx"))
        return zipArchive({{"[Content_Types].xml", contentTypes("xl/workbook.xml", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml")},
                           {"_rels/.rels", rels("xl/workbook.xml")},
                           {"xl/workbook.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheets/></workbook>"},
                           {"xl/title.txt", t}});
    if (ext == QLatin1String("pptx"))
        return zipArchive({{"[Content_Types].xml", contentTypes("ppt/presentation.xml", "application/vnd.openxmlformats-officedocument.presentationml.presentation.main+xml")},
                           {"_rels/.rels", rels("ppt/presentation.xml")},
                           {"ppt/presentation.xml", "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?><p:presentation xmlns:p=\"http://schemas.openxmlformats.org/presentationml/2006/main\"/>"},
                           {"ppt/title.txt", t}});
    if (ext == QLatin1String("dwg")) {
        QByteArray b = "AC1032";
        b.append(122, '\0');
        return b + t;
    }
    if (ext == QLatin1String("zip"))
        return zipArchive({{"readme.txt", t + "\r\n"}, {"data/values.csv", "a,b,c\r\n1,2,3\r\n"}});
    return t;
}

bool seedDemo(Store &store, QString *error)
{
    if (store.db().value(QStringLiteral("SELECT COUNT(*) FROM owners")).toInt() > 0)
        return true; // never mixes the demo into a real organisation
    const int org = store.addGroup(QStringLiteral("Demo Co"), 0, error);
    const int rnd = store.addGroup(QStringLiteral("R&D"), org, error);
    const int sales = store.addGroup(QStringLiteral("Sales"), org, error);
    const int drawing = store.addGroup(QStringLiteral("Drawing Office"), rnd, error);
    const int demo = store.addUser(QStringLiteral("demo"), QStringLiteral("Demo User"), QStringLiteral("demo"), QStringLiteral("demo@example.com"), false, error);
    const int alice = store.addUser(QStringLiteral("alice"), QStringLiteral("Alice"), QStringLiteral("alice123"), QStringLiteral("alice@example.com"), false, error);
    const int bob = store.addUser(QStringLiteral("bob"), QStringLiteral("Bob"), QStringLiteral("bob123"), QStringLiteral("bob@example.com"), false, error);
    const int carol = store.addUser(QStringLiteral("carol"), QStringLiteral("Carol"), QStringLiteral("carol123"), QStringLiteral("carol@example.com"), false, error);
    const int admin = store.addUser(QStringLiteral("admin"), QStringLiteral("Administrator"), QStringLiteral("admin"), QString(), true, error);
    if (!org || !rnd || !sales || !drawing || !demo || !alice || !bob || !carol || !admin)
        return false;
    store.db().run(QStringLiteral("UPDATE owners SET core_id='E' || id WHERE kind='U'"));
    for (const auto &[g, u] : QList<std::pair<int, int>>{{org, admin}, {rnd, demo}, {rnd, alice}, {sales, demo}, {sales, bob},
                                                          {drawing, carol}, {drawing, alice}})
        store.addMember(g, u, error);
    store.db().run(QStringLiteral("INSERT INTO messages(user_id, text, created) VALUES(?, ?, ?)"),
                   {demo, QStringLiteral("Welcome to the ZuDivuvo demo server."), NowDateTime()});

    auto folder = [&](int owner, qint64 parent, const QString &name) {
        qint64 id = 0;
        store.createFolder(owner, parent, name, &id);
        return id;
    };
    const qint64 contracts = folder(rnd, 0, QStringLiteral("Contracts"));
    const qint64 c2024 = folder(rnd, contracts, QStringLiteral("2024"));
    const qint64 c2023 = folder(rnd, contracts, QStringLiteral("2023"));
    const qint64 designs = folder(rnd, 0, QStringLiteral("Designs"));
    const qint64 parts = folder(rnd, designs, QStringLiteral("Parts"));
    const qint64 offers = folder(sales, 0, QStringLiteral("Offers"));
    const qint64 o2024 = folder(sales, offers, QStringLiteral("2024"));
    const qint64 reports = folder(sales, 0, QStringLiteral("Reports"));
    const qint64 plans = folder(drawing, 0, QStringLiteral("Plans"));
    const qint64 archive = folder(drawing, plans, QStringLiteral("Archive"));
    const qint64 personal = folder(demo, 0, QStringLiteral("Personal"));
    const qint64 notes = folder(demo, personal, QStringLiteral("Notes"));
    folder(rnd, contracts, QStringLiteral("Drafts"));

    struct Item { int owner; qint64 folder; const char *name; int versions; int user; };
    const QList<Item> items{
        {rnd, c2024, "Supply agreement.docx", 3, alice},
        {rnd, c2024, "Price list.xlsx", 2, demo},
        {rnd, c2024, "Signed contract.pdf", 1, alice},
        {rnd, c2023, "Framework agreement.docx", 1, alice},
        {rnd, c2023, "Scan page 1.jpg", 1, demo},
        {rnd, contracts, "Contract template.docx", 2, demo},
        {rnd, designs, "Product overview.pptx", 2, alice},
        {rnd, parts, "Bracket.dwg", 3, carol},
        {rnd, parts, "Housing.dwg", 1, carol},
        {rnd, parts, "Bracket render.png", 1, carol},
        {sales, o2024, "Offer 2024-017.pdf", 1, bob},
        {sales, o2024, "Offer 2024-018.docx", 2, bob},
        {sales, offers, "Customer list.xlsx", 1, bob},
        {sales, reports, "Quarterly report.pptx", 1, demo},
        {sales, reports, "Figures.zip", 1, bob},
        {drawing, plans, "Ground floor.dwg", 2, carol},
        {drawing, archive, "Old layout.pdf", 1, carol},
        {demo, personal, "Todo.txt", 3, demo},
        {demo, notes, "Meeting notes.txt", 1, demo},
        {demo, notes, "Whiteboard.png", 1, demo},
    };
    int daysAgo = 40;
    for (const Item &i : items) {
        if (!addFile(store, i.owner, i.folder, QString::fromUtf8(i.name), i.versions, i.user, daysAgo, error))
            return false;
        daysAgo -= 2;
    }
    // One property of each kind, so the client's property page can be tried.
    const QList<PropertyDef> props{
        {0, QStringLiteral("Project"), QStringLiteral("text"), {}, true},
        {0, QStringLiteral("Pages"), QStringLiteral("number"), {}, false},
        {0, QStringLiteral("Issue date"), QStringLiteral("date"), {}, false},
        {0, QStringLiteral("Department"), QStringLiteral("select"), {QStringLiteral("R&D"), QStringLiteral("Sales"), QStringLiteral("Drawing Office")}, false},
        {0, QStringLiteral("Status"), QStringLiteral("radio"), {QStringLiteral("Draft"), QStringLiteral("Review"), QStringLiteral("Released")}, false},
        {0, QStringLiteral("Distribution"), QStringLiteral("checkbox"), {QStringLiteral("Internal"), QStringLiteral("Customer"), QStringLiteral("Supplier")}, false},
        {0, QStringLiteral("Remarks"), QStringLiteral("textarea"), {}, false},
    };
    for (const PropertyDef &p : props)
        if (!addPropertyDef(store, p, error))
            return false;
    // The demo offers scan-code login in the small window.
    store.setSetting(QStringLiteral("qr_mode"), QStringLiteral("1"));
    return true;
}
