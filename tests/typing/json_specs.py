"""A value spec that knows its JSON form, so fields and schemas can be written
and read back before every native spec writes its own. It may hold a schema,
as a Dict spec does, which lets forms nest. Calls are recorded with their
keyword arguments when a test asks for it."""

from vesk.typing import annotation, handles, json

KEY = "tests.typing.JsonSpec"


class JsonSpec(annotation.ValueSpec):
    calls = None  # a list while a test records
    fast_apply_info = handles.FastApplyInfo(False, object)  # read by the schema's caches

    def __init__(self, kind="int", schema=None):
        self.kind, self.schema = kind, schema

    def to_json(self, **kwargs):
        if JsonSpec.calls is not None:
            JsonSpec.calls.append(("to_json", kwargs))
        out = {"_type": KEY, "kind": self.kind}
        if self.schema is not None:
            out["schema"] = json.to_json(self.schema, **kwargs)
        return out

    @classmethod
    def from_json(cls, json_value, **kwargs):
        if JsonSpec.calls is not None:
            JsonSpec.calls.append(("from_json", kwargs))
        schema = json_value.get("schema")
        return cls(json_value["kind"], None if schema is None else json.from_json(schema, **kwargs))

    def __eq__(self, other):
        return isinstance(other, JsonSpec) and (self.kind, self.schema) == (other.kind, other.schema)

    __hash__ = None

    def __repr__(self):
        return f"JsonSpec({self.kind!r})"


json.register_serializable(JsonSpec, KEY)
