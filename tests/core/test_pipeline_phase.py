import logging
import re

import pytest

from corvane.configurations.build_options import BuildOptions
from corvane.passes.pipeline_phase import (
    Optimization,
    PipelinePhase,
    Step,
    Validation,
    ValidationException,
)

LOGGER = "corvane.passes.pipeline_phase"


class AddOne(Step):
    def __call__(self, program):
        return program + 1


class Double(Optimization):
    def __call__(self, program):
        return program * 2


class FailingOptimization(Optimization):
    def __call__(self, program):
        raise ValueError("no luck")


class Check(Validation):
    def __init__(self, name=None):
        super().__init__(name)
        self.seen = []

    def __call__(self, program):
        self.seen.append(program)
        return "ignored"


class SyntaxTreeReader(Step):
    def __call__(self, program):
        return program


def phase(*steps, **options):
    return PipelinePhase(tuple(steps), BuildOptions(**options))


def messages(caplog):
    return [(record.levelname, record.getMessage()) for record in caplog.records if record.name == LOGGER]


class TestStep:
    def test_abstract_classes_cannot_be_instantiated(self):
        for cls in (Step, Validation, Optimization):
            with pytest.raises(TypeError, match="abstract"):
                cls()

    @pytest.mark.parametrize("name, expected", [(None, "SyntaxTreeReader"), ("", ""), ("reader", "reader")])
    def test_name_defaults_to_the_class_name(self, name, expected):
        assert SyntaxTreeReader(name).name == expected

    @pytest.mark.parametrize("name", [3, b"x", type("S", (str,), {})("x")])
    def test_name_must_be_exactly_text(self, name):
        with pytest.raises(TypeError) as error:
            SyntaxTreeReader(name)
        assert str(error.value) == (
            f"Argument 'name' has incorrect type (expected str, got {type(name).__name__})"
        )

    def test_marker_bases(self):
        assert Validation.__bases__ == (Step, __import__("abc").ABC)
        assert issubclass(Optimization, Step)
        assert issubclass(ValidationException, Exception)
        assert str(ValidationException("text")) == "text"


class TestPhaseRun:
    def test_steps_run_in_order_and_the_last_result_is_returned(self, caplog):
        caplog.set_level(logging.DEBUG, LOGGER)
        check = Check()
        assert phase(AddOne(), check, Double(), AddOne())(1) == 5
        assert check.seen == [2]
        assert messages(caplog) == [("DEBUG", "Pass 'PipelinePhase': starting")]

    def test_empty_phase_returns_the_given_object(self, caplog):
        caplog.set_level(logging.DEBUG, LOGGER)
        program = object()
        assert PipelinePhase((), None, "Empty")(program) is program
        assert messages(caplog) == [("DEBUG", "Pass 'Empty': starting")]

    def test_steps_must_be_exactly_a_tuple(self):
        for steps in ([AddOne()], None, type("T", (tuple,), {})()):
            with pytest.raises(TypeError, match=r"^Argument 'steps' has incorrect type \(expected tuple"):
                PipelinePhase(steps, BuildOptions())

    def test_a_validation_result_is_ignored(self):
        check = Check()
        assert phase(check, check)("program") == "program"
        assert check.seen == ["program", "program"]

    def test_a_plain_step_error_leaves_the_phase(self, caplog):
        caplog.set_level(logging.DEBUG, LOGGER)

        class Broken(Step):
            def __call__(self, program):
                raise KeyError("k")

        after = Check()
        with pytest.raises(KeyError):
            phase(Broken(), after)(0)
        assert after.seen == []
        assert len(messages(caplog)) == 1

    def test_a_nested_phase_is_an_ordinary_step(self):
        inner = PipelinePhase((FailingOptimization(),), BuildOptions(optimizations_to_enforce="all"), "Inner")
        with pytest.raises(ValueError):
            phase(inner)(1)

    def test_steps_are_read_again_at_every_run(self):
        runner = phase(AddOne())
        assert runner(0) == 1
        runner.steps = (AddOne(), AddOne())
        assert runner(0) == 2


class TestOptimizations:
    def test_failure_is_tolerated_and_the_given_program_kept(self, caplog):
        caplog.set_level(logging.DEBUG, LOGGER)
        program = [1]
        assert phase(FailingOptimization())(program) is program
        assert messages(caplog)[-1] == (
            "WARNING",
            "Pass 'PipelinePhase': exception on optimization 'FailingOptimization': no luck",
        )

    def test_enforced_failure_leaves_the_phase_unchanged(self):
        step = FailingOptimization()
        with pytest.raises(ValueError) as error:
            phase(step, optimizations_to_enforce="all")(1)
        assert str(error.value) == "no luck"
        assert error.value.__cause__ is None

    def test_skip_wins_over_enforce(self, caplog):
        caplog.set_level(logging.DEBUG, LOGGER)
        assert phase(FailingOptimization(), Double(), optimizations_to_skip="all",
                     optimizations_to_enforce="all")(3) == 3
        assert messages(caplog)[1:] == [
            ("DEBUG", "Pass 'PipelinePhase': skipping optimization step 'FailingOptimization'"),
            ("DEBUG", "Pass 'PipelinePhase': skipping optimization step 'Double'"),
        ]

    def test_skipped_validation_is_logged(self, caplog):
        caplog.set_level(logging.DEBUG, LOGGER)
        check = Check("Screen")
        phase(check, validations_to_skip="Scr")(1)
        assert check.seen == []
        assert messages(caplog)[1] == ("DEBUG", "Pass 'PipelinePhase': skipping validation step 'Screen'")

    def test_interrupts_are_never_tolerated(self):
        class Interrupted(Optimization):
            def __call__(self, program):
                raise KeyboardInterrupt

        with pytest.raises(KeyboardInterrupt):
            phase(Interrupted())(1)

    def test_invalid_enforce_pattern_replaces_the_step_error(self):
        with pytest.raises(re.error) as error:
            phase(FailingOptimization(), optimizations_to_enforce="(")(1)
        assert isinstance(error.value.__context__, ValueError)

    def test_a_pattern_that_is_not_text_fails_at_the_first_decision(self):
        with pytest.raises(TypeError, match="Argument 'pattern' has incorrect type"):
            phase(Double(), optimizations_to_skip=re.compile("D"))(1)

    def test_decisions_are_overridable(self):
        class NeverSkip(PipelinePhase):
            def _should_skip_optimization(self, optimization):
                return False

        assert NeverSkip((Double(),), BuildOptions(optimizations_to_skip="all"))(2) == 4


class TestInferBehavior:
    @pytest.mark.parametrize(
        "pattern, expected",
        [
            (None, False),
            ("all", True),
            ("All", False),
            ("Fold", True),
            ("ing", False),
            (".*ing", True),
            ("", True),
            ("FoldingStage$", True),
        ],
    )
    def test_patterns_match_from_the_start_of_the_name(self, pattern, expected):
        step = type("FoldingStage", (Optimization,), {"__call__": lambda self, p: p})()
        assert PipelinePhase._infer_behavior(step, pattern) is expected

    def test_all_does_not_read_the_name(self):
        assert PipelinePhase._infer_behavior(object(), "all") is True
        with pytest.raises(AttributeError):
            PipelinePhase._infer_behavior(object(), "x")
