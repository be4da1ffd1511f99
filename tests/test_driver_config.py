"""The driver refuses a bad configuration or state file with exit 2, every problem named as
`<file>: <key>: <problem>`, before it reads anything from Azure."""

import datetime
import json
from pathlib import Path

import pytest
import yaml
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID
from test_driver import changes

from qn.arm.armsim import Emulator
from qn.arm.switch_traffic import config, demo
from qn.arm.switch_traffic.cli import main

SPOKES, HUB = demo.SPOKES, demo.HUB
UNLISTED = "00000000-0000-0000-0000-00000000c0c0"
ROOT = Path(__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def arm(tmp_path_factory):
    with Emulator(demo.sample_topology(), token=demo.TOKEN) as emulator:
        emulator.good = yaml.safe_load(
            open(demo.demo_config(emulator, str(tmp_path_factory.mktemp("demo"))))
        )
        yield emulator


def edit(change):
    def apply(good):
        change(good)
        return yaml.safe_dump(good, sort_keys=False)

    return apply


def appended(text):
    return lambda good: yaml.safe_dump(good, sort_keys=False) + text


def service_principals(good):
    principal = {
        "tenant_id": "11111111-1111-1111-1111-111111111111",
        "client_id": "22222222-2222-2222-2222-222222222222",
    }
    good["subscriptions"][HUB]["credential"] = dict(
        principal, client_secret_env="HUB_SP_SECRET_NOT_SET"
    )
    good["subscriptions"][SPOKES]["credential"] = dict(principal, client_secret=271828)


def four_typos(good):
    good["peering"]["delete_vnet_locks"] = good["peering"].pop("delete_vnet_lock")
    good["peering"]["delete_peering"] = "al"
    good["vnets"]["vn-app"]["subnet_in_subnet_group"] = ["cache"]
    good["securty_domain"] = {"enabled": False}


def domain_over_http(good):
    good["security_domain"] = {"enabled": True, "domain": "prod"}
    good["controller"] = {"api_endpoint_url": "http://controller.example.net/v2/api", "CID": "s"}


def transit_without_sign_in(good):
    good["transit"] = {"enabled": True}
    good["controller"] = {"api_endpoint_url": "https://controller.example.net/v2/api"}


def three_faults(good):
    good["peering"]["delete_vnet_lock"] = "yes"
    del good["subscriptions"][HUB]["alias"]
    good["vnets"] = {}
    good["delete_peering"] = "all"


def layout(vnets):
    return json.dumps({"version": 2, "vnets": vnets})


APP = f"{SPOKES}/rg-spokes/vn-app"
SWITCHED = {"records": {"subnets": {"web": {"from": "rt-web", "to": ["rt-web-lf"], "lacks": None}}}}

# (configuration from the good one, state file text or None, more arguments, expected lines)
BAD_INPUTS = {
    "four typos": (
        edit(four_typos),
        None,
        [],
        [
            "peering.delete_vnet_locks: unknown key; did you mean 'delete_vnet_lock'?",
            "peering.delete_peering: must be one of 'all' or 'gateway', not 'al'",
            "vnets.vn-app.subnet_in_subnet_group: unknown key; did you mean "
            "'subnet_in_subnet_groups'?",
            "securty_domain: unknown key; did you mean 'security_domain'?",
        ],
    ),
    "second peering section": (
        appended("peering:\n  delete_peering: all\n"),
        None,
        [],
        ["peering: given twice (lines"],
    ),
    "settings not a mapping": (
        edit(lambda g: g.update(settings=[1])),
        None,
        [],
        ["settings: must be a mapping, not a list"],
    ),
    "replication not a number": (
        edit(lambda g: g.update(settings={"configure_shared_route_table_replication": "x"})),
        None,
        [],
        ["settings.configure_shared_route_table_replication: must be a whole number, not 'x'"],
    ),
    "subscription not listed": (
        edit(lambda g: g["vnets"]["vn-app"].update(subscription=UNLISTED)),
        None,
        [],
        [f"vnets.vn-app.subscription: '{UNLISTED}' is not under 'subscriptions'"],
    ),
    "secret variable missing, secret not repeated": (
        edit(service_principals),
        None,
        [],
        [
            f"subscriptions.{HUB}.credential.client_secret_env: the environment variable "
            "HUB_SP_SECRET_NOT_SET is not set",
            f"subscriptions.{SPOKES}.credential.client_secret: must be text\n",
        ],
    ),
    "service principal without a secret": (
        edit(
            lambda g: g["subscriptions"][HUB].update(
                credential={"tenant_id": "t", "client_id": "c"}
            )
        ),
        None,
        [],
        [
            f"subscriptions.{HUB}.credential: a service principal needs client_secret_env (or "
            "client_secret, or certificate_path)"
        ],
    ),
    "empty VNet name": (
        edit(lambda g: g["vnets"].update({"": g["vnets"]["vn-data"]})),
        None,
        [],
        ["vnets.'': a VNet name has 2 to 64 letters"],
    ),
    "plain-http endpoint": (
        edit(domain_over_http),
        None,
        [],
        ["controller.api_endpoint_url: must be an https:// URL, not 'http://controller"],
    ),
    "controller without a sign-in": (
        edit(transit_without_sign_in),
        None,
        [],
        [
            "controller: username and password_env (or a CID) are required when transit.enabled "
            "is true"
        ],
    ),
    "wrong values in a VNet": (
        edit(
            lambda g: g["vnets"]["vn-app"].update(
                allow_vnet_cidrs=["10.0.0.1/8"], migrate_non_associated_subnet=0, resource_group=""
            )
        ),
        None,
        [],
        [
            "vnets.vn-app.allow_vnet_cidrs[0]: not an address range: 10.0.0.1/8 has host bits set",
            "vnets.vn-app.migrate_non_associated_subnet: must be true or false, not 0",
            "vnets.vn-app.resource_group: a resource group name has 1 to 90",
        ],
    ),
    "flag as text, alias missing, no VNets, key at the wrong level": (
        edit(three_faults),
        None,
        [],
        [
            "peering.delete_vnet_lock: must be true or false, not 'yes'",
            f"subscriptions.{HUB}.alias: missing (required)",
            "vnets: must not be empty",
            "delete_peering: unknown key; did you mean 'peering.delete_peering'?",
        ],
    ),
    "not YAML": (lambda g: "vnets: [unclosed", None, [], ["not valid YAML"]),
    "not a mapping": (lambda g: "- a list", None, [], ["the top level must be a mapping"]),
    "unknown VNet on the command line": (
        edit(lambda g: None),
        None,
        ["--vnet", "vn-other"],
        ["vnets: no VNet named vn-other"],
    ),
    "state of another tool": (edit(lambda g: None), '{"something": "else"}', [], ["not a state"]),
    "state not JSON": (edit(lambda g: None), "{", [], ["cannot read the state file"]),
    "state of an earlier version": (
        edit(lambda g: None),
        '{"version": 1}',
        [],
        ["written by an earlier version of the tool"],
    ),
    "state with wrong-typed parts": (
        edit(lambda g: None),
        layout(
            {
                APP: {
                    "order": "1",
                    "forward": {
                        "switch-subnets": dict(
                            SWITCHED, items={"web": {"status": "ok"}, "api": {"status": "pending"}}
                        ),
                        "delete-peerings": {"records": {"peeringPairList": [{"localRgName": 1}]}},
                    },
                    "revert": None,
                }
            }
        ),
        ["--revert"],
        [
            f"vnets.{APP}.order: must be a whole number, not '1'",
            f"vnets.{APP}.forward.switch-subnets.items.web.status: must be one of 'done' or "
            "'pending', not 'ok'",
            f"vnets.{APP}.forward.switch-subnets.items.api: a pending item needs its reason",
            f"vnets.{APP}.forward.delete-peerings.records.peeringPairList[0].localRgName: must "
            "be text, not 1",
            f"vnets.{APP}.revert: must be a mapping, not empty",
            "damaged; mend the parts named",
        ],
    ),
    "state with an unknown step": (
        edit(lambda g: None),
        layout({APP: {"forward": {"switch-subnet": SWITCHED}}}),
        [],
        [f"vnets.{APP}.forward.switch-subnet: unknown key; did you mean 'switch-subnets'?"],
    ),
}


@pytest.mark.parametrize("case", BAD_INPUTS.values(), ids=BAD_INPUTS.keys())
def test_bad_input_exits_2_naming_every_problem_before_azure_is_read(arm, tmp_path, capsys, case):
    make_config, state_text, arguments, expected = case
    path = tmp_path / "config.yaml"
    path.write_text(make_config(json.loads(json.dumps(arm.good))))
    state = tmp_path / "state.json"
    if state_text is not None:
        state.write_text(state_text)
    arm.clear_requests()

    status = main(["--config", str(path), "--state", str(state), *arguments])

    error = capsys.readouterr().err
    assert status == 2
    named = state if state_text is not None else path
    for line in expected:
        assert f"{named}: {line}" in error, error
    assert "Traceback" not in error
    assert arm.requests == []
    assert state.read_text() == state_text if state_text is not None else not state.exists()


def test_example_is_valid_and_the_key_reference_is_the_schemas(monkeypatch):
    monkeypatch.setenv("SPOKES_SP_SECRET", "secret")
    example = config.load_config(str(ROOT / "examples" / "switch-traffic.yaml"))
    assert example.vnets[0].name == "vn-app"
    doc = (ROOT / "docs" / "configuration.md").read_text(encoding="utf-8")
    start, end = doc.index(config.BEGIN), doc.index(config.END) + len(config.END) + 1
    assert doc[start:end] == config.reference(), "run: python -m qn.arm.switch_traffic.config"


def certificate_file(path, password):
    """A service principal's certificate with its RSA key, as PEM, the key encrypted."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "switch-traffic test")])
    now = datetime.datetime.now(datetime.UTC)
    certificate = (
        x509.CertificateBuilder()
        .subject_name(name)
        .issuer_name(name)
        .public_key(key.public_key())
        .serial_number(x509.random_serial_number())
        .not_valid_before(now)
        .not_valid_after(now + datetime.timedelta(days=1))
        .sign(key, hashes.SHA256())
    )
    locked = serialization.BestAvailableEncryption(password.encode())
    path.write_bytes(
        key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, locked)
        + certificate.public_bytes(serialization.Encoding.PEM)
    )
    return str(path)


TENANT, CLIENT = "not a tenant!", "22222222-2222-2222-2222-222222222222"
PRINCIPAL = {"tenant_id": TENANT, "client_id": CLIENT}
CERTIFICATE = "{certificate}"  # replaced by the certificate file's path


# (the credential of every subscription, the environment, what the error says)
SIGN_IN_ERRORS = {
    "default chain, nothing signed in": (
        {"type": "default"},
        {"AZURE_TOKEN_CREDENTIALS": "AzureCliCredential", "PATH": "{tmp}"},
        [
            "sign-in for subscription {sub} with the default sign-in chain (azure-identity's "
            "DefaultAzureCredential) failed; sign in with `az login` (then `az account set "
            "--subscription {sub}`)",
            "azure-identity said: ",
        ],
    ),
    "secret, tenant unusable": (
        dict(PRINCIPAL, client_secret_env="SP_SECRET"),
        {"SP_SECRET": "s3cret"},
        [
            "sign-in for subscription {sub} with service principal {client} of tenant {tenant} "
            "(client secret from SP_SECRET) failed; check tenant_id and client_id",
            "azure-identity said: Invalid tenant ID",
        ],
    ),
    "certificate, tenant unusable": (
        dict(PRINCIPAL, certificate_path=CERTIFICATE, certificate_password_env="CERT_PASSWORD"),
        {"CERT_PASSWORD": "right"},
        [
            "sign-in for subscription {sub} with service principal {client} of tenant {tenant} "
            "(certificate {certificate}) failed; check that the certificate is the one uploaded",
        ],
    ),
    "token refused by Azure": (
        {"type": "static_token", "token": "not-the-emulators"},
        {},
        [
            "vn-app: Azure refused the sign-in for subscription {sub} with a static token "
            "(emulators only); check that `token` is one the emulator accepts. Azure said: "
            "(AuthenticationFailed) Authentication failed.",
        ],
    ),
    "certificate, wrong password": (
        dict(PRINCIPAL, certificate_path=CERTIFICATE, certificate_password_env="CERT_PASSWORD"),
        {"CERT_PASSWORD": "wrong"},
        [
            "{config}: subscriptions.{sub}.credential: certificate_path: {certificate}: cannot "
            "read the certificate and its private key: the password is wrong",
        ],
    ),
    "certificate, no password": (
        dict(PRINCIPAL, certificate_path=CERTIFICATE),
        {},
        ["certificate_path: {certificate}: the private key is encrypted; name its password's"],
    ),
    "certificate missing": (
        dict(PRINCIPAL, certificate_path="{tmp}/none.pem"),
        {},
        ["{config}: subscriptions.{sub}.credential.certificate_path: no such file"],
    ),
    "certificate and secret": (
        dict(PRINCIPAL, certificate_path=CERTIFICATE, client_secret="s"),
        {},
        ["a service principal signs in with a secret or a certificate, not both"],
    ),
}


@pytest.mark.parametrize("case", SIGN_IN_ERRORS.values(), ids=SIGN_IN_ERRORS.keys())
def test_sign_in_errors_name_the_subscription_and_the_way_in(
    arm, tmp_path, monkeypatch, capsys, case
):
    credential, environment, expected = case
    names = {"tmp": str(tmp_path), "certificate": certificate_file(tmp_path / "sp.pem", "right")}
    names.update(config=str(tmp_path / "config.yaml"), tenant=TENANT, client=CLIENT, sub=SPOKES)
    good = json.loads(json.dumps(arm.good))
    for subscription in good["subscriptions"].values():
        subscription["credential"] = {k: v.format(**names) for k, v in credential.items()}
    Path(names["config"]).write_text(yaml.safe_dump(good))
    for variable, value in environment.items():
        monkeypatch.setenv(variable, value.format(**names))
    arm.clear_requests()

    assert main(["--config", names["config"], "--yes"]) == 2

    error = capsys.readouterr().err
    for line in expected:
        assert line.format(**names) in error, error
    assert "Traceback" not in error
    assert changes(arm) == []  # the run claim, refused or not, is no change
