"""A SOAP toolkit nobody here wrote (Debian's python3-zeep) reads the service description of a
running `brackenfold serve` and calls all six operations: values, nil arguments, an unknown
account, the SOAPAction texts it sends. Usage: wsdl_toolkit_test.py PATH/TO/brackenfold"""

import os
import re
import select
import subprocess
import sys
import tempfile
import urllib.request

try:
    import zeep
    import zeep.exceptions
    import zeep.helpers
    import zeep.plugins
except ImportError as e:
    print(f"error: python3-zeep is not installed for {sys.executable} ({e}); run `make deps`")
    sys.exit(1)

BIN = sys.argv[1]
# The namespace's port differs from the one listened on: the address must come from the Host.
NS = "http://127.0.0.1:9/BrackenfoldWS"
ENV = dict(os.environ, BRACKENFOLD_SERVICE_HOST="127.0.0.1:9", BRACKENFOLD_SERVICE_DOMAIN="brackenfold.test:9")
failures = []
checks = 0


def check(what, actual, expected):
    global checks
    checks += 1
    if actual != expected:
        failures.append(what)
        print(f"FAILED {what}: got {actual!r}, expected {expected!r}")


def admin(db, *args, stdin=""):
    r = subprocess.run([BIN, "serve", *args, "--db", db], input=stdin, capture_output=True, text=True, env=ENV,
                       timeout=60)
    if r.returncode != 0:
        sys.exit(f"error: brackenfold serve {' '.join(args)} failed: {r.stderr}")
    return r.stdout.strip()


class Actions(zeep.plugins.Plugin):
    def __init__(self):
        self.sent = []

    def egress(self, envelope, http_headers, operation, binding_options):
        self.sent.append((operation.name, http_headers.get("SOAPAction")))
        return envelope, http_headers


def result(value):
    """A zeep result as plain dicts."""
    return zeep.helpers.serialize_object(value, target_cls=dict)


def main():
    with tempfile.TemporaryDirectory(prefix="bf-zeep-") as tmp:
        db = os.path.join(tmp, "service.db")
        account = admin(db, "--add-account", "alice", stdin="secret\n")
        admin(db, "--set-rating", "example.com", "7")
        # A PNG header is enough for the image's size; the bytes travel as base64Binary.
        image = b"\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x78\0\0\0\x28\x08\x06\0\0\0\xff\x00<&>"
        with open(os.path.join(tmp, "ad.png"), "wb") as f:
            f.write(image)
        ad_id = int(admin(db, "--set-ad", "example.com", "--ad-image", os.path.join(tmp, "ad.png"), "--ad-url",
                          "http://ads.example/?a=1&b=<2>").split()[1])

        server = subprocess.Popen([BIN, "serve", "--db", db, "--listen", "127.0.0.1:0"], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True, env=ENV)
        try:
            ready, _, _ = select.select([server.stdout], [], [], 30)
            line = server.stdout.readline().strip() if ready else ""
            m = re.fullmatch(r"listening on 127\.0\.0\.1:(\d+)", line)
            if not m:
                sys.exit(f"error: brackenfold serve did not start: {line!r}")
            run(int(m.group(1)), account, ad_id, image)
        finally:
            server.terminate()
            try:
                server.wait(timeout=30)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()


def run(port, account, ad_id, image):
    endpoint = f"http://127.0.0.1:{port}/brackenfoldws/brackenfold.asmx"
    with urllib.request.urlopen(endpoint + "?WSDL", timeout=30) as r:
        check("description content type", r.headers["Content-Type"], "text/xml; charset=utf-8")
        text = r.read().decode("utf-8")
    check("address in the description", re.findall(r'<soap:address location="([^"]*)"/>', text), [endpoint])

    actions = Actions()
    client = zeep.Client(endpoint + "?wsdl", plugins=[actions])
    svc = client.service
    binding = client.wsdl.services["Brackenfold"].ports["BrackenfoldSoap"].binding
    check("operations", sorted(binding._operations),
          sorted(["CheckAliasEmail", "NewPage", "GetRatingForSite", "GetAdvertisement", "GetUpdate",
                  "GetNewAliasEmailForSite"]))

    ad = {"adID": ad_id, "Height": 40, "Width": 120, "AdType": "image/png", "AdURL": "http://ads.example/?a=1&b=<2>",
          "AdBinary": image}
    no_ad = {"adID": 0, "Height": 0, "Width": 0, "AdType": None, "AdURL": None, "AdBinary": None}
    check("NewPage", result(svc.NewPage(account, "http://example.com", 1.0)),
          {"ClsUpdate": ad, "Rating": 7, "intRet": 7, "Alias": None, "Error": False})
    check("NewPage, unrated site, nil domain", result(svc.NewPage(account, None, 2.5)),
          {"ClsUpdate": no_ad, "Rating": 0, "intRet": 0, "Alias": None, "Error": False})

    alias = result(svc.GetNewAliasEmailForSite(account, "http://www.example.com/signup"))
    check("new alias", bool(re.fullmatch(r"[a-km-np-z2-9]{16}@alias\.brackenfold\.test", alias["strRet"] or "")), True)
    check("new alias intRet", alias["intRet"], 1)
    address = alias["strRet"]
    check("same alias again", result(svc.GetNewAliasEmailForSite(account, "http://shop.example.com/")),
          {"strRet": address, "intRet": 1})
    check("NewPage with the alias", result(svc.NewPage(account, "http://example.com", 1.0))["Alias"], address)

    check("CheckAliasEmail", result(svc.CheckAliasEmail(account, address)),
          {"strRet": "http://example.com", "intRet": 1})
    check("GetRatingForSite, nil account", result(svc.GetRatingForSite(None, "http://news.example.com/a")),
          {"strRet": "http://example.com", "intRet": 7})
    check("GetAdvertisement", result(svc.GetAdvertisement("http://example.com")), ad)
    check("GetUpdate", result(svc.GetUpdate("http://www.example.com/", 3.0)), ad)

    # Nil arguments and an unknown account.
    stranger = "0" * 32
    none = {"strRet": None, "intRet": 0}
    check("alias, nil account and page", result(svc.GetNewAliasEmailForSite(None, None)), none)
    check("alias, unknown account", result(svc.GetNewAliasEmailForSite(stranger, "http://example.com/")), none)
    check("CheckAliasEmail, nil address", result(svc.CheckAliasEmail(account, None)), none)
    check("CheckAliasEmail, unknown account", result(svc.CheckAliasEmail(stranger, address)), none)
    check("GetRatingForSite, nil domain", result(svc.GetRatingForSite(account, None)), none)
    check("GetAdvertisement, nil domain", result(svc.GetAdvertisement(None)), no_ad)
    check("GetUpdate, nil domain", result(svc.GetUpdate(None, 1.0)), no_ad)
    for who in (stranger, None):
        try:
            svc.NewPage(who, "http://example.com", 1.0)
            check(f"NewPage for {who!r} faults", "no fault", "fault")
        except zeep.exceptions.Fault as f:
            check(f"NewPage for {who!r}: fault", (f.code, f.message), ("soap:Client", "Unknown account"))

    # What the toolkit sent, from the description: the action texts of the deployment.
    check("SOAPAction texts", sorted(set(actions.sent)),
          sorted({(op, f'"{NS}/{op}"') for op, _ in actions.sent}))
    check("every operation called", sorted({op for op, _ in actions.sent}),
          sorted(["CheckAliasEmail", "NewPage", "GetRatingForSite", "GetAdvertisement", "GetUpdate",
                  "GetNewAliasEmailForSite"]))


main()
print(f"{checks - len(failures)} passed, {len(failures)} failed")
sys.exit(1 if failures else 0)
