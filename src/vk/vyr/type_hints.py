"""Names for annotating vyr values."""

from typing import TypeVar, Union

from vk.vyr._expressions import VyrArrayCell, VyrScalarExpression, VyrVariable
from vk.vyr._statements import ResultStreamSource

_NumberT = TypeVar("_NumberT", bool, int, float)

# A plain value or a scalar expression of one type: `Scalar[int]`.
Scalar = Union[_NumberT, VyrScalarExpression[_NumberT]]
# A plain value or a scalar expression of any type.
ScalarOfAnyType = Union[bool, int, float, VyrScalarExpression]

__all__ = ["Scalar", "ScalarOfAnyType", "VyrVariable", "ResultStreamSource", "VyrArrayCell"]
