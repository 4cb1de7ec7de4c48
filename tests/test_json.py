import pytest

from harness import testing as t


@pytest.mark.parametrize(
    "text, message",
    [
        (b"", "JSON: unexpected char '"),
        (b'{"a": 1,}', "JSON: expected '\"', got '}'"),
        (b'{"a" 1}', "JSON: expected ':', got '1'"),
        (b"[1 2]", "JSON: expected ']', got '2'"),
        (b".5", "JSON: unexpected char '.'"),
        (b"tru", "JSON: unexpected char 't'"),
        (b"+1", "JSON: unexpected char '+'"),
        (b'"abc', "JSON: unterminated string"),
        (b'"abc\\', "JSON: unterminated string"),
        (b"[1, 2", "JSON: expected ']', got '"),
        (b'{"a": 1', "JSON: expected '}', got '"),
        (b"[1\x002]", "JSON: expected ']', got '"),
        (b"[" * 300 + b"]" * 300, "JSON: nesting deeper than 256 levels"),
        (b'{"a":' * 5000, "JSON: nesting deeper than 256 levels"),
    ],
)
def test_parse_errors(text, message):
    with pytest.raises(RuntimeError) as e:
        t.parse_json(text)
    assert str(e.value) == message


@pytest.mark.parametrize(
    "text, value",
    [
        (b'{"a": 1, "a": 2}', {b"a": 2.0}),
        (b'{"a": [1, 2]} trailing }', {b"a": [1.0, 2.0]}),
        (b'"\\t\\q\\/\\u0041"', b"\tq/u0041"),
        (b"[-, 1e, -0, 0012, 1.5e+2, 2E-1]", [0.0, 1.0, -0.0, 12.0, 150.0, 0.2]),
        (b"[1e400, -1e400, 1e-400]", [float("inf"), float("-inf"), 0.0]),
        (b" \t\r\n[true, false, null, {}, []]", [True, False, None, {}, []]),
        (b'"\xc3\xa9\x01"', b"\xc3\xa9\x01"),
    ],
)
def test_parse_values(text, value):
    assert t.parse_json(text) == value


def test_nesting_up_to_the_bound_parses():
    v = t.parse_json(b"[" * 256 + b"]" * 256)
    for _ in range(255):
        v = v[0]
    assert v == []


def test_number_parse_ignores_locale(tmp_path):
    import locale

    try:
        locale.setlocale(locale.LC_NUMERIC, "de_DE.UTF-8")
    except locale.Error:
        pytest.skip("no German locale on this machine")
    try:
        assert t.parse_json(b"[1.5]") == [1.5]
    finally:
        locale.setlocale(locale.LC_NUMERIC, "C")


def test_read_file_errors(tmp_path):
    with pytest.raises(RuntimeError, match="^Cannot open JSON: /nonexistent/a.json$"):
        t.read_json_file("/nonexistent/a.json")
    with pytest.raises(RuntimeError, match="^Read error: "):
        t.read_json_file(str(tmp_path))  # a directory cannot be read as a file
    p = tmp_path / "ok.json"
    p.write_bytes(b'{"x": [1]}')
    assert t.read_json_file(str(p)) == {b"x": [1.0]}
