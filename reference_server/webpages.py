"""HTML pages of the demo web site.

Plain HTML without scripts, so that the embedded browser of the client (an
old engine in standards mode) shows every page. All texts are Turkish.
The pages never put "play" next to "/" or "?" in a link except the real
play links, because the client treats any such navigation as a play
navigation and takes over.
"""

import html

from game import WORLDS, play_links

_STYLE = """
body { font-family: Tahoma, Verdana, sans-serif; background: #14202e; color: #e8e8e8;
       margin: 0; padding: 24px 40px; }
h1 { color: #f0c060; font-size: 26px; margin: 0 0 12px 0; }
a { color: #8fc8ff; }
.box { background: #1f3044; border: 1px solid #34506e; padding: 12px 16px; margin: 12px 0; }
.note { color: #b8c4d0; font-size: 13px; }
.err { color: #ff9a8a; font-weight: bold; }
table { border-collapse: collapse; }
td, th { border: 1px solid #34506e; padding: 4px 10px; text-align: left; }
input { font-size: 14px; margin: 3px 0; }
"""


def _e(text):
    return html.escape(str(text), quote=True)


def page(title, body):
    """A whole page as UTF-8 bytes."""
    text = (
        "<!DOCTYPE html>\n<html lang=\"tr\"><head><meta charset=\"utf-8\">"
        "<meta http-equiv=\"X-UA-Compatible\" content=\"IE=edge\">"
        "<title>%s</title><style>%s</style></head><body>%s</body></html>\n"
        % (_e(title), _STYLE, body))
    return text.encode("utf-8")


def header_note(arrived, value):
    if arrived:
        return "X-Tavrensil-Client başlığı alındı (değer: 1) — istemci içinden açıldı."
    if value is None:
        return "X-Tavrensil-Client başlığı gelmedi — sayfa sıradan bir tarayıcıda açılmış."
    return "X-Tavrensil-Client başlığı beklenmeyen değerle geldi: %r." % value


def start_page(user, arrived, value, client_param, error="", accounts=()):
    note = header_note(arrived, value)
    parts = ["<h1>Tavrensil Online</h1>",
             "<div class=\"box note\" id=\"client-header\" data-arrived=\"%s\">%s<br>"
             "Adres parametresi client=1: %s</div>"
             % ("1" if arrived else "0", _e(note), "var" if client_param else "yok")]
    if user:
        parts.append("<div class=\"box\">Hoş geldin, <b>%s</b>. "
                     "<a id=\"worlds-link\" href=\"/worlds\">Oyun dünyalarını göster</a> · "
                     "<a href=\"/logout\">Çıkış</a></div>" % _e(user))
    else:
        parts.append(_login_form(error, accounts))
    return page("Tavrensil Online", "".join(parts))


def _login_form(error, accounts):
    hint = ("Geliştirme hesapları: %s." % ", ".join(accounts) if accounts
            else "Geliştirme modu: boş olmayan her ad ile giriş yapılabilir, şifre denetlenmez.")
    err = "<p class=\"err\" id=\"login-error\">%s</p>" % _e(error) if error else ""
    return (
        "<div class=\"box\"><h2>Giriş</h2>%s"
        "<form method=\"post\" action=\"/login\" accept-charset=\"UTF-8\">"
        "<label>Kullanıcı adı<br><input name=\"name\" maxlength=\"32\"></label><br>"
        "<label>Şifre<br><input name=\"password\" type=\"password\"></label><br>"
        "<input type=\"submit\" value=\"Giriş yap\"></form>"
        "<p class=\"note\">%s</p></div>" % (err, _e(hint)))


def worlds_page(user, token):
    rows = []
    for world in WORLDS:
        by_param, by_path = play_links(world, token)
        rows.append(
            "<tr><td>%s</td><td>%s</td>"
            "<td><a class=\"play-param\" href=\"%s\">Oyna</a></td>"
            "<td><a class=\"play-path\" href=\"%s\">Oyna</a></td></tr>"
            % (_e(world.title), _e(world.key), _e(by_param), _e(by_path)))
    body = (
        "<h1>Oyun Dünyaları</h1>"
        "<div class=\"box\">Oyuncu: <b>%s</b> · <a href=\"/\">Ana sayfa</a> · "
        "<a href=\"/logout\">Çıkış</a></div>"
        "<table><tr><th>Dünya</th><th>Ad</th><th>site= bağlantısı</th>"
        "<th>yol bağlantısı</th></tr>%s</table>"
        "<p class=\"note\">Oturum anahtarı tek kullanımlıktır ve birkaç dakika geçerlidir; "
        "bu sayfa her açılışta geçerli bir anahtar gösterir.</p>"
        % (_e(user), "".join(rows)))
    return page("Oyun Dünyaları", body)


def play_page(world, has_token):
    body = (
        "<h1>Oyun başlatılıyor</h1><div class=\"box\">"
        "Oyun istemcisi burada devralır: bu sayfa yalnızca sıradan bir tarayıcıda görünür.<br>"
        "Dünya: <b>%s</b> (%s)%s</div>"
        "<p><a href=\"/\">Ana sayfaya dön</a></p>"
        % (_e(world.title), _e(world.key),
           "" if has_token else "<br><span class=\"err\">Adreste oturum anahtarı yok.</span>"))
    return page("Tavrensil Online", body)


def download_page(latest, required):
    body = (
        "<h1>İstemci İndirme</h1><div class=\"box\">"
        "En yeni istemci sürümü: v%d · Gereken en düşük sürüm: v%d<br>"
        "Bu, geliştirme sunucusunun indirme sayfasıdır.</div>" % (latest, required))
    return page("İstemci İndirme", body)


def message_page(title, text):
    return page(title, "<h1>%s</h1><div class=\"box\">%s</div>" % (_e(title), _e(text)))
