# Validates JSON listings against tamb's schema with the system's validator,
# and sees an extra field planted in the first listing refused at the top,
# in a file and in a resource.
import copy
import json
import sys

import jsonschema

schema_path, *listings = sys.argv[1:]
with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
documents = []
for path in listings:
    with open(path, encoding="utf-8") as f:
        documents.append(json.load(f))
    validator.validate(documents[-1])
for where in ("top", "file", "resource"):
    planted = copy.deepcopy(documents[0])
    level = {"top": planted, "file": planted["files"][0],
             "resource": planted["files"][0]["resources"][0]}[where]
    level["planted"] = 1
    if validator.is_valid(planted):
        sys.exit(f"an extra field in a {where} is not refused")
print(f"{len(listings)} listings valid; an extra field refused at each level")
