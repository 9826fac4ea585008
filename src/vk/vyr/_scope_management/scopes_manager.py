"""Which vyr program scopes are open."""


class _ScopesManager:
    def __init__(self):
        self._open_programs = []

    def is_inside_program_scope(self) -> bool:
        return bool(self._open_programs)


scopes_manager = _ScopesManager()
