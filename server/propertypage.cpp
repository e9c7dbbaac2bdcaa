#include "propertypage.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>

namespace {
const QStringList kKinds{QStringLiteral("text"), QStringLiteral("number"), QStringLiteral("date"),
                         QStringLiteral("select"), QStringLiteral("radio"), QStringLiteral("checkbox"),
                         QStringLiteral("textarea")};

QByteArray esc(const QString &s)
{
    return s.toHtmlEscaped().toUtf8();
}

// The page's script reads the definitions from JSON; "<" is escaped so no
// value can close the script element.
QByteArray scriptJson(const QList<PropertyDef> &defs)
{
    QJsonArray list;
    for (const PropertyDef &d : defs)
        list.append(QJsonObject{{QStringLiteral("id"), QString::number(d.id)}, {QStringLiteral("name"), d.name},
                                {QStringLiteral("kind"), d.kind}, {QStringLiteral("required"), d.required}});
    return QJsonDocument(list).toJson(QJsonDocument::Compact).replace("<", "\\u003c");
}

const char kScript[] = R"JS(
function fields(id){return document.getElementsByName('FilePrt'+id);}
function multi(p){return p.kind==='radio'||p.kind==='checkbox';}
function fillProperty(){
  for(var i=0;i<PROPS.length;i++){
    var p=PROPS[i],h=document.getElementById('h_FilePrt'+p.id);
    if(!h)continue;
    var els=fields(p.id);
    if(multi(p)){
      var vals=h.value.split('*#*#');
      for(var j=0;j<els.length;j++)els[j].checked=vals.indexOf(els[j].value)>=0;
    }else if(els.length){
      els[0].value=h.value;
    }
  }
}
function clean(v){return String(v).replace(/\[/g,'\uFF3B').replace(/\]/g,'\uFF3D');}
function checkFilePrt(){
  var ok=document.getElementById('isOK'),hint=document.getElementById('hint');
  ok.value='0';hint.textContent='';
  var ids=[],out='';
  for(var i=0;i<PROPS.length;i++){
    var p=PROPS[i],els=fields(p.id),v='';
    if(multi(p)){
      var vs=[];
      for(var j=0;j<els.length;j++)if(els[j].checked)vs.push(clean(els[j].value));
      v=vs.join(',');
    }else if(els.length){
      v=clean(els[0].value).trim();
    }
    var bad='';
    if(p.required&&v==='')bad='必填 / required';
    else if(p.kind==='number'&&v!==''&&!/^-?\d+(\.\d+)?$/.test(v))bad='应为数字 / a number';
    else if(p.kind==='date'&&v!==''&&!/^\d{4}-\d{2}-\d{2}$/.test(v))bad='日期格式 YYYY-MM-DD / a date';
    if(bad){hint.textContent=p.name+': '+bad;if(els.length&&els[0].focus)els[0].focus();return false;}
    ids.push(p.id);out+='['+p.id+']'+v+'[/'+p.id+']';
  }
  document.getElementById('filePrt').value='[proid]'+ids.join(',')+'[/proid]'+out;
  ok.value='1';
  return true;
}
)JS";
} // namespace

QList<PropertyDef> propertyDefs(Store &store)
{
    QList<PropertyDef> defs;
    QSqlQuery q = store.db().exec(QStringLiteral("SELECT id, name, kind, options, required FROM property_defs ORDER BY sort, id"));
    while (q.next()) {
        PropertyDef d;
        d.id = q.value(0).toInt();
        d.name = q.value(1).toString();
        d.kind = q.value(2).toString();
        d.options = q.value(3).toString().split(u'|', Qt::SkipEmptyParts);
        d.required = q.value(4).toBool();
        defs << d;
    }
    return defs;
}

bool addPropertyDef(Store &store, const PropertyDef &def, QString *error)
{
    auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!kKinds.contains(def.kind))
        return fail(QStringLiteral("unknown property kind: ") + def.kind);
    if (def.name.trimmed().isEmpty())
        return fail(QStringLiteral("a property needs a name"));
    for (const QString &o : def.options)
        if (o.contains(u',') || o.contains(u'|') || o.contains(u'[') || o.contains(u']'))
            return fail(QStringLiteral("an option may not hold \",\", \"|\", \"[\" or \"]\": ") + o);
    const bool ok = store.db().run(QStringLiteral("INSERT INTO property_defs(name, kind, options, required, sort) VALUES(?, ?, ?, ?, ?)"),
                                   {def.name, def.kind, def.options.join(u'|'), def.required ? 1 : 0,
                                    store.db().value(QStringLiteral("SELECT COALESCE(MAX(sort), 0) + 1 FROM property_defs")).toInt()});
    return ok || fail(QStringLiteral("cannot store the property"));
}

QByteArray propertyPageHtml(const QList<PropertyDef> &defs)
{
    QByteArray rows;
    for (const PropertyDef &d : defs) {
        const QByteArray name = "FilePrt" + QByteArray::number(d.id);
        QByteArray field;
        if (d.kind == QLatin1String("select")) {
            field = "<select name=\"" + name + "\"><option value=\"\"></option>";
            for (const QString &o : d.options)
                field += "<option value=\"" + esc(o) + "\">" + esc(o) + "</option>";
            field += "</select>";
        } else if (d.kind == QLatin1String("radio") || d.kind == QLatin1String("checkbox")) {
            for (const QString &o : d.options)
                field += "<label><input type=\"" + d.kind.toUtf8() + "\" name=\"" + name + "\" value=\"" + esc(o) + "\">"
                         + esc(o) + "</label> ";
        } else if (d.kind == QLatin1String("textarea")) {
            field = "<textarea name=\"" + name + "\" rows=\"3\"></textarea>";
        } else {
            field = "<input type=\"" + d.kind.toUtf8() + "\" name=\"" + name + "\">";
        }
        rows += "<tr><th>" + esc(d.name) + (d.required ? " *" : "") + "</th><td>" + field + "</td></tr>";
    }
    if (defs.isEmpty())
        rows = "<tr><td>没有文件属性 / No file properties are defined.</td></tr>";
    return "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>File properties</title>"
           "<style>body{font:13px 'DejaVu Sans','WenQuanYi Micro Hei',Arial,sans-serif;margin:8px}"
           "th{text-align:right;font-weight:normal;padding:4px 8px;vertical-align:top;white-space:nowrap}"
           "td{padding:4px}input[type=text],input[type=number],input[type=date],select,textarea{width:260px}"
           "#hint{color:#b00;min-height:1.4em}</style></head><body><form onsubmit=\"return false\"><table>"
           + rows + "</table></form><div id=\"hint\"></div>"
           "<input type=\"hidden\" id=\"isOK\" name=\"isOK\" value=\"0\">"
           "<input type=\"hidden\" id=\"filePrt\" name=\"filePrt\" value=\"\">"
           "<script>var PROPS=" + scriptJson(defs) + ";" + kScript + "</script></body></html>";
}

QString propertyDefsText(const QList<PropertyDef> &defs)
{
    QStringList ids;
    QString out;
    for (const PropertyDef &d : defs) {
        const QString id = QString::number(d.id);
        ids << id;
        out += u'[' + id + u']' + d.name + QStringLiteral("[/") + id + u']';
    }
    return QStringLiteral("[proid]") + ids.join(u',') + QStringLiteral("[/proid]") + out;
}
