import pytest


@pytest.mark.parametrize(
    "source",
    ["", "   \n\t\r\n", "// nothing here", "/* a block\n comment */", "// one\n/* two */ // three\n"],
    ids=["empty", "blank", "line comment", "block comment", "mixed"],
)
def test_a_source_without_statements_compiles_to_an_empty_program(compile_text, source):
    assert compile_text(source) == ""


def test_an_included_file_of_comments_only_adds_nothing(compile_text, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "stdgates.inc").write_text("// the profile supplies the standard gates\n")
    assert compile_text('OPENQASM 3.0;\ninclude "stdgates.inc";\nx $1;') == 'play("x", "d1")'
