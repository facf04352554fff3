"""Cell formulas: the tokenizer, the shared-formula translator and the formula value classes."""

from brindle.formula.formulas import ArrayFormula, DataTableFormula
from brindle.formula.tokenizer import Token, Tokenizer, TokenizerError
from brindle.formula.translate import Translator, TranslatorError

__all__ = [
    "ArrayFormula", "DataTableFormula", "Token", "Tokenizer", "TokenizerError",
    "Translator", "TranslatorError",
]
