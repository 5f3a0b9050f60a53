"""The contract's documents on their own: valid 2020-12 schemas whose examples
(their own and those in openapi.yaml) validate, schemas that turn away a body
with a member missing, of a wrong type or one too many, and a config schema
that takes the shipped configurations."""

import json
import os
import re
import unittest

import jsonschema
import yaml

from harness import CONTRACT, REPO, compact, load_json, validator

BODIES = ("chat", "heartbeat")

# For each member: values of a wrong type, and values of the right type that
# the plug-in never sends.
WRONG = {
    "chat": {
        "map": [None, 1, True, ["x"], {"x": "y"}],
        "message": [None, 1, False, ["Hallo"], ""],
        "sender": [None, 7, {}, ""],
    },
    "heartbeat": {
        "map": [None, 0, ["TheIsland_WP"]],
        "playerCount": ["3", 3.5, -1, None, True, 2147483648],
        "pluginVersion": [None, 1, 0.1, "", "v0.1", "0.1"],
        "serverVersion": [None, 1.0, False, ""],
    },
}


def errors(v, instance):
    return [e.message for e in v.iter_errors(instance)]


class SchemaDocuments(unittest.TestCase):
    def test_each_schema_is_a_valid_2020_12_schema_whose_examples_validate(self):
        for name in BODIES + ("config",):
            with self.subTest(name):
                schema = load_json(CONTRACT / f"{name}.schema.json")
                self.assertEqual(schema["$schema"], "https://json-schema.org/draft/2020-12/schema")
                jsonschema.Draft202012Validator.check_schema(schema)
                self.assertGreaterEqual(len(schema["examples"]), 2)
                v = validator(name)
                for example in schema["examples"]:
                    self.assertEqual(errors(v, example), [], example)

    def test_every_member_is_described(self):
        for name in BODIES + ("config",):
            schema = load_json(CONTRACT / f"{name}.schema.json")
            self.assertIs(schema["additionalProperties"], False, name)
            for key, member in schema["properties"].items():
                with self.subTest(schema=name, member=key):
                    self.assertIn("type", member)
                    self.assertGreater(len(member.get("description", "")), 20)

    def test_openapi_examples_validate_against_the_referenced_schemas(self):
        with open(CONTRACT / "openapi.yaml", encoding="utf-8") as f:
            api = yaml.safe_load(f)
        self.assertEqual(api["openapi"], "3.1.0")
        self.assertEqual(set(api["paths"]), {"/plugin/chat", "/plugin/heartbeat"})
        checked = 0
        for path, item in api["paths"].items():
            media = item["post"]["requestBody"]["content"]["application/json"]
            ref = media["schema"]["$ref"]
            self.assertEqual(ref, f"./{path.rsplit('/', 1)[1]}.schema.json")
            v = validator(path.rsplit("/", 1)[1])
            for name, example in media["examples"].items():
                with self.subTest(path=path, example=name):
                    self.assertEqual(errors(v, example["value"]), [])
                    checked += 1
            self.assertEqual(set(item["post"]["responses"]), {"2XX", "default"})
        self.assertGreaterEqual(checked, 6)


class ReadmeBodies(unittest.TestCase):
    def test_the_bodies_in_the_readme_are_valid_and_written_as_the_plugin_writes_them(self):
        # The contract's README is the one place that shows the bodies; the
        # top-level README links to it.
        text = (CONTRACT / "README.md").read_text(encoding="utf-8")
        found = re.findall(r"`(/plugin/\w+)` \| `(\{.*?\})`", text)
        self.assertEqual(len(found), 2)
        for path, body in found:
            with self.subTest(body=body):
                value = json.loads(body)
                self.assertEqual(errors(validator(path.rsplit("/", 1)[1]), value), [])
                self.assertEqual(body.encode(), compact(value))


class BodiesThatThePluginNeverSends(unittest.TestCase):
    def test_a_missing_member_a_wrong_type_and_an_extra_member_are_each_rejected(self):
        for name in BODIES:
            schema = load_json(CONTRACT / f"{name}.schema.json")
            v = validator(name)
            # The fullest example carries every member.
            full = max(schema["examples"], key=len)
            self.assertEqual(set(full), set(schema["properties"]), name)
            for key in schema["required"]:
                body = {k: val for k, val in full.items() if k != key}
                with self.subTest(schema=name, missing=key):
                    self.assertTrue(errors(v, body))
            for key, values in WRONG[name].items():
                for value in values:
                    body = dict(full, **{key: value})
                    with self.subTest(schema=name, member=key, value=value):
                        self.assertTrue(errors(v, body))
            for extra in ({"Map": "x"}, {"timestamp": 1}, {"id": "abc"}):
                with self.subTest(schema=name, extra=extra):
                    self.assertTrue(errors(v, dict(full, **extra)))
            for top in ([full], "text", None, 1):
                with self.subTest(schema=name, top=top):
                    self.assertTrue(errors(v, top))

    def test_optional_heartbeat_members_may_be_missing(self):
        v = validator("heartbeat")
        for body in ({"map": "", "pluginVersion": "0.1.0"},
                     {"map": "Insel", "pluginVersion": "12.0.3", "playerCount": 0}):
            self.assertEqual(errors(v, body), [], body)


class ConfigSchema(unittest.TestCase):
    SHIPPED = [REPO / "packaging" / "config.example.json",
               REPO / "examples" / "server" / "ArkApi" / "Plugins" / "QuellmoorBridge" / "config.json"]

    def test_the_shipped_configurations_validate_and_name_the_schema(self):
        v = validator("config")
        for path in self.SHIPPED:
            with self.subTest(path=str(path.relative_to(REPO))):
                config = load_json(path)
                self.assertEqual(errors(v, config), [])
                target = os.path.normpath(path.parent / config["$schema"])
                self.assertEqual(target, str(CONTRACT / "config.schema.json"))

    def test_each_wrong_type_is_rejected(self):
        v = validator("config")
        good = load_json(self.SHIPPED[0])
        # Control characters in the two header-bound values count as wrong too.
        wrong = {"webhookBaseUrl": [None, 1, True, ["http://x"], {}, "http://x\x7f"],
                 "token": [None, 123, False, ["t"], "a\nb", "\ttab"],
                 "map": [None, 1, [], {}],
                 "serverVersion": [None, 1.0, True],
                 "enabled": ["true", 1, 0, None, "false"]}
        for key, values in wrong.items():
            for value in values:
                config = dict(good, **{key: value})
                with self.subTest(key=key, value=value):
                    self.assertTrue(errors(v, config))
        for top in ([good], None, "x", 1):
            with self.subTest(top=top):
                self.assertTrue(errors(v, top))

    def test_defaults_are_the_plugins(self):
        schema = load_json(CONTRACT / "config.schema.json")
        defaults = {k: p.get("default") for k, p in schema["properties"].items() if k != "$schema"}
        self.assertEqual(defaults, {"webhookBaseUrl": "", "token": "", "map": "",
                                    "serverVersion": "", "enabled": True})


if __name__ == "__main__":
    unittest.main(verbosity=2)
