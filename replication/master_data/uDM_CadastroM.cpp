#include "uDM_CadastroM.h"

#include "platform/types/Exception.h"

namespace {

// Queries of their own, line by line, exactly as stored. The other queries
// follow the standard pattern built in CadastroMCommandText.

const char* const kTbEmpresaQuery[] = {
    "SELECT EMP.*, ",
    "  CEC.PKFILIAL AS PKFILIALDESTINO ",
    "FROM TBEMPRESA EMP ",
    "INNER JOIN TBCEC CEC  ",
    "ON (   EMP.PKEMPRESA = CEC.PKTABELA) ",
    "WHERE CEC.NMTABELA =  'TBEMPRESA' ",
    "ORDER BY EMP.PKEMPRESA",
    nullptr};

const char* const kTbPrecoAcessorioQuery[] = {
    "SELECT PRECO.PKPRODUTO, PRECO.PKFPRODUTO, PRECO.PKFILIAL,",
    "  PRECO.PKUSUARIO, PRECO.PKFUSUARIO, PRECO.VLANTERIOR,",
    "  PRECO.VLATUAL, PRECO.DTALTERACAO, PRECO.EXCLUIDO,",
    "    (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO, PRECO.PKFILIAL AS PKFILIALDESTINO ",
    "FROM TBPRECOACESSORIO PRECO",
    "LEFT JOIN TBPRECOACESSORIOBAIXADA PRECOBAIXA",
    "ON (   PRECO.PKPRODUTO = PRECOBAIXA.PKPRODUTO",
    "   AND PRECO.PKFPRODUTO = PRECOBAIXA.PKFPRODUTO",
    "   AND PRECO.PKFILIAL = PRECOBAIXA.PKFILIAL)",
    "WHERE PRECOBAIXA.PKPRODUTO IS NULL",
    "ORDER BY PRECO.PKPRODUTO, PRECO.PKFPRODUTO, PRECO.PKFILIAL",
    nullptr};

const char* const kTbQtdMinimaQuery[] = {
    "SELECT QTD.PKPRODUTO, QTD.PKFPRODUTO, QTD.PKFILIAL,",
    "  QTD.QTDMINIMA, QTD.EXCLUIDO,",
    "    (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO, QTD.PKFILIAL AS PKFILIALDESTINO",
    "FROM TBQTDMINIMA QTD",
    "LEFT JOIN TBQTDMINIMABAIXADA QTDBAIXA",
    "ON (   QTD.PKPRODUTO = QTDBAIXA.PKPRODUTO",
    "   AND QTD.PKFPRODUTO = QTDBAIXA.PKFPRODUTO",
    "   AND QTD.PKFILIAL = QTDBAIXA.PKFILIAL)",
    "WHERE QTDBAIXA.PKPRODUTO IS NULL",
    "ORDER BY QTD.PKPRODUTO, QTD.PKFPRODUTO, QTD.PKFILIAL",
    nullptr};

const char* const kTbItUsuarioQuery[] = {
    "SELECT ITUSU.PKITUSUARIO, ITUSU.PKUSUARIO, ITUSU.PKFUSUARIO,",
    "  ITUSU.NMMENU, ITUSU.NMTELA, ITUSU.EXCLUIDO,",
    "  (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO,",
    "  0 AS PKFILIALDESTINO,",
    "  ITUSU.PKMENU ",
    "FROM TBITUSUARIO ITUSU ",
    "LEFT JOIN TBITUSUARIOBAIXADA ITUSUBAIXA",
    "ON (   ITUSU.PKITUSUARIO = ITUSUBAIXA.PKITUSUARIO)",
    "WHERE ITUSUBAIXA.PKITUSUARIO IS NULL",
    "ORDER BY ITUSU.PKITUSUARIO",
    nullptr};

const char* const kTbPrecoSwapQuery[] = {
    "SELECT PRECO.PKPRECOSWAP, PRECO.PKPHABIL, PKFPHABIL,",
    "  PRECO.PKPRODUTO, PKFPRODUTO, PRECO.VLVENDA,",
    "  PRECO.EXCLUIDO,   (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = PKFPHABIL) AS CDCONTRATO, 0 AS PKFILIALDESTINO ",
    "FROM TBPRECOSWAP PRECO",
    "LEFT JOIN TBPRECOSWAPBAIXADA PRECOBAIXA",
    "ON (   PRECO.PKPRECOSWAP = PRECOBAIXA.PKPRECOSWAP)",
    "WHERE PRECO.VLVENDA > 0 ",
    "AND PRECOBAIXA.PKPRECOSWAP IS NULL",
    "ORDER BY PRECO.PKPRECOSWAP",
    nullptr};

const char* const kTbPrecoApGSMQuery[] = {
    "SELECT PRECO.PKPRECOAPGSM, PRECO.PKPHABIL, PKFPHABIL,",
    "  PRECO.PKPRODUTO, PKFPRODUTO, PRECO.VLVENDA,",
    "  PRECO.EXCLUIDO,   (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = PKFPHABIL) AS CDCONTRATO, 0 AS PKFILIALDESTINO, PRECO.PKTPPROMOCAO ",
    "FROM TBPRECOAPGSM PRECO",
    "LEFT JOIN TBPRECOAPGSMBAIXADA PRECOBAIXA",
    "ON (   PRECO.PKPRECOAPGSM = PRECOBAIXA.PKPRECOAPGSM)",
    "WHERE PRECO.VLVENDA > 0 ",
    "AND PRECOBAIXA.PKPRECOAPGSM IS NULL",
    "ORDER BY PRECO.PKPRECOAPGSM",
    nullptr};

const char* const kTbPrecoSerialQuery[] = {
    "SELECT PKPRECOSERIAL, PKPROMOCAO, PKPHABIL,",
    "    PKFPHABIL, PKPRODUTO, PKFPRODUTO,",
    "    VLVENDA, EXCLUIDO,",
    "    (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO,",
    "    0 AS PKFILIALDESTINO",
    "FROM TBPRECOSERIAL PRECO",
    "WHERE PKPRECOSERIAL > :PPKULTIMO",
    "  AND PKPRECOSERIAL > 99999999",
    "  AND VLVENDA > 0 ",
    "ORDER BY PKPRECOSERIAL",
    nullptr};

struct TRawTable
{
    const char* Provider;
    const char* DataSet;
    const char* Alias;
    TPendingBy PendingBy;
    const char* JoinColumns; // blank-separated
    const char* KeyColumns;  // blank-separated
    const char* const* OwnQuery; // nullptr-terminated lines; nullptr: the standard pattern
    const char* FieldList;
};

// The catalogue, in provider-list order. Field lists: key columns, CDCONTRATO
// and PKFILIALDESTINO marked K, all else unmarked, with the departures written
// as they are (TbImpostoNCM, TbOperacaoNfe, TbTpOperacaoNfe, TbServicoOSFuncionario,
// TbAcao, TbFaixaPreco, TbServico, TbContador, TbMvaNcm).
const TRawTable kTables[] = {
    // 1 TbAliquota
    {"DspAliquota", "TbAliquota", "ALI", TPendingBy::Cec, "PKALIQUOTA PKFILIAL", "PKALIQUOTA PKFILIAL", nullptr,
     "PKALIQUOTA int K; PKFILIAL int K; NMALIQUOTA str 60; PEALIQUOTA dec 15.2; EXCLUIDO small; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 2 TbBanco
    {"DspBanco", "TbBanco", "BAN", TPendingBy::Cec, "PKBANCO PKFILIAL", "PKBANCO PKFILIAL", nullptr,
     "PKBANCO int K; PKFILIAL int K; PKHISTORICO int; PKFHISTORICO int; NMBANCO str 60; NRAGENCIA str 10; "
     "NRBANCO str 10; EXCLUIDO small; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 3 TbConsultor
    {"DspConsultor", "TbConsultor", "CON", TPendingBy::Cec, "PKCONSULTOR", "PKCONSULTOR", nullptr,
     "PKCONSULTOR int K; PKOPERADORA int; NMCONSULTOR str 100; NRTELEFONERES str 20; NRTELEFONECOM str 20; "
     "NRTELEFONECEL str 20; EMAIL str 100; NMREGIAO str 100; EXCLUIDO int; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 4 TbDocumento
    {"DspDocumento", "TbDocumento", "DOC", TPendingBy::Cec, "PKDOCUMENTO", "PKDOCUMENTO", nullptr,
     "PKDOCUMENTO int K; PKOPERADORA int; DTINICIOVIGENCIA date; NMDOCUMENTO str 100; EXCLUIDO int; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 5: query of its own
    {"DspEmpresa", "TbEmpresa", "EMP", TPendingBy::Cec, "PKEMPRESA", "PKEMPRESA", kTbEmpresaQuery,
     "PKEMPRESA int K; CDOPERADORA str 20; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 6 TbFilial
    {"DspFilial", "TbFilial", "FIL", TPendingBy::Cec, "PKFILIAL", "PKFILIAL", nullptr,
     "PKFILIAL int K; PKCONSULTOR int; CDSAP str 20; CDMOBIL str 20; PKCLASSIFICACAO int; CDCOMTA str 20; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K; APELIDO str 20; CDMUNICIPIO int; CDPAIS int; "
     "NMEMAILCOM str 100; NRINSCRICAOSUFRAMA str 10; PKCONTADOR int; PKFCONTADOR int; PKPERFIL int"},
    // 7 TbFinanceira
    {"DspFinanceira", "TbFinanceira", "FIN", TPendingBy::Cec, "PKFINANCEIRA PKFILIAL", "PKFINANCEIRA PKFILIAL", nullptr,
     "PKFINANCEIRA int K; PKFILIAL int K; NMFINANCEIRA str 60; DIAVENCTO int; EMAIL str 50; "
     "NRTELEFONE str 20; EXCLUIDO small; NRDIASUTEIS int; PKMODELOGERENCIADORTEF int; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K; NRCPF str 14; NRCNPJ str 14; NRIE str 20; NRSUFRAMA str 20; NRCEP str 9; "
     "NMLOGRADOURO str 100; NRLOGRADOURO str 10; SGESTADO str 10; NMBAIRRO str 100; DSCOMPLEMENTO str 100; "
     "NMMUNICIPIO str 100; CDMUNICIPIO int; CDPAIS int"},
    // 8 TbFornecedor
    {"DspFornecedor", "TbFornecedor", "FORNE", TPendingBy::Cec, "PKFORNECEDOR PKFILIAL", "PKFORNECEDOR PKFILIAL",
     nullptr,
     "PKFORNECEDOR int K; PKFILIAL int K; NMFORNECEDOR str 100; TPATIVO int; NRINSCRICAO str 20; "
     "TPSIMPLES int; NMCIDADE str 100; SGESTADO char 2; NMLOGRADOURO str 100; NMBAIRRO str 100; "
     "NMCOMPLEMENTO str 100; NRCEP str 10; NRTELEFONERES str 20; NRTELEFONECOM str 20; "
     "NRTELEFONECEL str 20; EMAIL str 100; DTCADASTRO date; NRCNPJ str 18; EXCLUIDO small; "
     "NRLOGRADOURO str 8; CDCONTRATO str 20 K; PKFILIALDESTINO int K; NMFANTASIA str 100; CDPAIS int; "
     "CDMUNICIPIO int"},
    // 9 TbFuncionario
    {"DspFuncionario", "TbFuncionario", "FUNC", TPendingBy::Cec, "PKFUNCIONARIO PKFILIAL", "PKFUNCIONARIO PKFILIAL",
     nullptr,
     "PKFUNCIONARIO int K; PKFILIAL int K; NMFUNCIONARIO str 60; CDOPERADORA str 20; DTCONTRATACAO date; "
     "NRCPF str 14; NRRG str 15; DTNASCIMENTO date; NMENDERECO str 100; NMBAIRRO str 100; "
     "NMMUNICIPIO str 100; NMESTADO str 5; NRCEP str 9; FONERESIDENCIAL str 20; CELULAR str 20; "
     "EMAIL str 100; NRENDERECO str 5; ORGAORG str 10; TPATIVO int; TPSEXO int; NMCOMPLEMENTO str 100; "
     "EXCLUIDO small; TPFUNCIONARIO int; DTADMISSAO date; FOTO blob; CDSENHA str 20; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 10 TbMarca
    {"DspMarca", "TbMarca", "MAR", TPendingBy::Cec, "PKMARCA PKFILIAL", "PKMARCA PKFILIAL", nullptr,
     "PKMARCA int K; PKFILIAL int K; NMMARCA str 50; EXCLUIDO small; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 11 TbPlanoHabilitacao
    {"DspPlanoHabilitacao", "TbPlanoHabilitacao", "PLANO", TPendingBy::Cec, "PKPLANOHABILITACAO PKEMPRESA", "PKPLANOHABILITACAO PKEMPRESA",
     nullptr,
     "PKPLANOHABILITACAO int K; PKEMPRESA int K; NMPLANOHABILITACAO str 60; NRDEPENDENTE int; "
     "TPPLANOHABILITACAO int; PKREMUNERACAO int; PKFREMUNERACAO int; EXCLUIDO small; "
     "NMPLANOHABILITACAOOP str 100; ATIVO small; TPPACOTEDADOS int; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K; CDOPERADORA str 20; NMOPERADORA str 100; CDOPERADORADADOS str 20; "
     "CDOPERADORACOMISSAO str 20; NMOPERADORACOMISSAO str 100"},
    // 12 TbProduto
    {"DspProduto", "TbProduto", "PRO", TPendingBy::Cec, "PKPRODUTO PKOPERADORA", "PKPRODUTO PKOPERADORA", nullptr,
     "PKPRODUTO int K; PKOPERADORA int K; NMPRODUTO str 60; CST char 3; PKGRUPO int; PKFGRUPO int; "
     "PKFORNECEDOR int; PKFFORNECEDOR int; PKMARCA int; PKFMARCA int; PKREDUCAO int; PKFREDUCAO int; "
     "PKALIQENT int; PKFALIQENT int; PKALIQSAI int; PKFALIQSAI int; CDOPERADORA str 30; CDBARRA str 30; "
     "VLCOMPRA dec 15.3; ATIVO small; TPPRODUTO int; EXCLUIDO small; NMPRODUTOOP str 100; "
     "PKUNIDADEMEDIDA int; PKFUNIDADEMEDIDA int; CDCONTRATO str 20 K; PKFILIALDESTINO int K; NRDIGITO int; "
     "NMPRODUTOIM str 50; CDNCM int; CDEXTIPI int; PKPLANOCONTA int; PKFPLANOCONTA int; "
     "CDAREACENTROCUSTO int; VIDAUTILBEM int; DSSUCINTABEM str 1000; PKCSTPIS int; PKCSTCOFINS int; "
     "PKCSTIPI int; PKCSTICMS int; PKTIPOITEM int; PKCSOSN int; INDICPROP int; PKGENEROMERC int; "
     "IAT small; IPPT small; HASHMD5 str 32; PKLOCALESTOQUE int; PKFLOCALESTOQUE int; QTDMINIMA int; "
     "PKNCM int; ALIQIPI dec 15.3; CDSAP str 20"},
    // 13 TbPromocao
    {"DspPromocao", "TbPromocao", "PRO", TPendingBy::Cec, "PKPROMOCAO", "PKPROMOCAO", nullptr,
     "PKPROMOCAO int K; PKOPERADORA int; NMPROMOCAO str 100; DTINICIOVIGENCIA date; EXCLUIDO int; "
     "EXPORTADO int; PKTPPROMOCAO int; PKPACOTEDADOS int; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 14 TbRemuneracao
    {"DspRemuneracao", "TbRemuneracao", "REMU", TPendingBy::Cec, "PKREMUNERACAO", "PKREMUNERACAO", nullptr,
     "PKREMUNERACAO int K; PKOPERADORA int; NMREMUNERACAO str 50; TPREMUNERACAO int; EXCLUIDO small; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 15 TbServico
    {"DspServico", "TbServico", "SER", TPendingBy::Cec, "PKSERVICO", "PKSERVICO", nullptr,
     "PKSERVICO int K; PKOPERADORA int K; DSSERVICO str 100; EXCLUIDO small; PKPACOTEDADOS int; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K; PKTPSERVICO int; OBRIGARNAVENDA small; "
     "CDOPERADORA str 20; NMOPERADORA str 100; UP_DOWN int; BAIXA_ALTA int"},
    // 16 TbUnidadeMedida
    {"DspUnidadeMedida", "TbUnidadeMedida", "UN", TPendingBy::Cec, "PKUNIDADEMEDIDA PKFILIAL", "PKUNIDADEMEDIDA PKFILIAL",
     nullptr,
     "PKUNIDADEMEDIDA int K; PKFILIAL int K; NMUNIDADEMEDIDA str 5; EXCLUIDO small; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K; DSUNIDADEMEDIDA str 100"},
    // 17: query of its own
    {"DspPrecoAcessorio", "TbPrecoAcessorio", "PRECO", TPendingBy::Marker, "", "PKPRODUTO PKFPRODUTO PKFILIAL",
     kTbPrecoAcessorioQuery,
     "PKPRODUTO int K; PKFPRODUTO int K; PKFILIAL int K; PKUSUARIO int; PKFUSUARIO int; "
     "VLANTERIOR dec 15.3; VLATUAL dec 15.3; DTALTERACAO date; EXCLUIDO small; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 18: query of its own
    {"DspPrecoSwap", "TbPrecoSwap", "PRECO", TPendingBy::Marker, "", "PKPRECOSWAP", kTbPrecoSwapQuery,
     "PKPRECOSWAP int K; PKPHABIL int; PKFPHABIL int; PKPRODUTO int; PKFPRODUTO int; VLVENDA dec 15.3; "
     "EXCLUIDO small; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 19 TbUsuario
    {"DspUsuario", "TbUsuario", "USU", TPendingBy::Cec, "PKUSUARIO PKFILIAL", "PKUSUARIO PKFILIAL", nullptr,
     "PKUSUARIO int K; PKFILIAL int K; NMUSUARIO str 60; CDSENHA str 10; RAMAL str 10; SETOR str 50; "
     "CELULAR str 20; EXCLUIDO small; FOTO blob; CDCONTRATO str 20 K; PKFILIALDESTINO int K; "
     "CDSENHA2 str 20"},
    // 20: query of its own
    {"DspItUsuario", "TbItUsuario", "ITUSU", TPendingBy::Marker, "", "PKITUSUARIO", kTbItUsuarioQuery,
     "PKITUSUARIO int K; PKUSUARIO int; PKFUSUARIO int; NMMENU str 20; NMTELA str 100; EXCLUIDO small; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K; PKMENU int"},
    // 21 TbTpPromocao
    {"DspTpPromocao", "TbTpPromocao", "TPPRO", TPendingBy::Cec, "PKTPPROMOCAO", "PKTPPROMOCAO", nullptr,
     "PKTPPROMOCAO int K; PKOPERADORA int; NMTPPROMOCAO str 100; EXCLUIDO int; AVISTA int; NRPARCELA int; "
     "PKPACOTEDADOS int; CDCONTRATO str 20 K; PKFILIALDESTINO int K; PRECOLOCAL int"},
    // 22 TbGrupo
    {"DspGrupo", "TbGrupo", "GRU", TPendingBy::Cec, "PKGRUPO PKFILIAL", "PKGRUPO PKFILIAL", nullptr,
     "PKGRUPO int K; PKFILIAL int K; NMGRUPO str 100; EXCLUIDO small; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 23: query of its own
    {"DspPrecoApGSM", "TbPrecoApGSM", "PRECO", TPendingBy::Marker, "", "PKPRECOAPGSM", kTbPrecoApGSMQuery,
     "PKPRECOAPGSM int K; PKPHABIL int; PKFPHABIL int; PKPRODUTO int; PKFPRODUTO int; VLVENDA dec 15.3; "
     "EXCLUIDO small; CDCONTRATO str 20 K; PKFILIALDESTINO int K; PKTPPROMOCAO int"},
    // 24: rules give no second key
    {"DspFaixaPreco", "TbFaixaPreco", "TAB", TPendingBy::Cec, "PKFAIXAPRECO PKOPERADORA", "PKFAIXAPRECO", nullptr,
     "PKFAIXAPRECO int K; PKOPERADORA int; DSFAIXAPRECO str 100; VLINICIAL dec 15.3; VLFINAL dec 15.3; "
     "EXCLUIDO int; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 25 TbPlanoFuncionario
    {"DspPlanoFuncionario", "TbPlanoFuncionario", "TAB", TPendingBy::Cec, "PKPLANOFUNCIONARIO", "PKPLANOFUNCIONARIO",
     nullptr,
     "PKPLANOFUNCIONARIO int K; PKFUNCIONARIO int; PKFFUNCIONARIO int; PKPHABIL int; PKFPHABIL int; "
     "DTINICIOVIGENCIA date; TPCOMISSAO int; COMISSAO dec 15.3; COMISSAOEXP dec 15.3; "
     "COMISSAOSUB dec 15.3; EXCLUIDO int; APLICAR int; CDCONTRATO str 20 K; PKFILIALDESTINO int K; "
     "COMISSAOREC dec 15.3; COMISSAOEXPREC dec 15.3"},
    // 26 TbFaixaPrecoFuncionario
    {"DspFaixaPrecoFuncionario", "TbFaixaPrecoFuncionario", "TAB", TPendingBy::Cec, "PKFAIXAPRECOFUNCIONARIO", "PKFAIXAPRECOFUNCIONARIO",
     nullptr,
     "PKFAIXAPRECOFUNCIONARIO int K; PKFAIXAPRECO int; PKFFAIXAPRECO int; PKFUNCIONARIO int; "
     "PKFFUNCIONARIO int; DTINICIOVIGENCIA date; TPCOMISSAO int; APLICAR int; VLCOMISSAO dec 15.3; "
     "EXCLUIDO int; VLCOMISSAOUP dec 15.3; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 27 TbGrupoFuncionario
    {"DspGrupoFuncionario", "TbGrupoFuncionario", "TAB", TPendingBy::Cec, "PKGRUPOFUNCIONARIO", "PKGRUPOFUNCIONARIO",
     nullptr,
     "PKGRUPOFUNCIONARIO int K; PKFUNCIONARIO int; PKFFUNCIONARIO int; PKGRUPO int; PKFGRUPO int; "
     "DTINICIOVIGENCIA date; TPCOMISSAO int; COMISSAO dec 15.3; EXCLUIDO int; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K; APLICAR int; SOMENTEAPAVULSOPRE small"},
    // 28 TbFinanFuncionario
    {"DspFinanFuncionario", "TbFinanFuncionario", "TAB", TPendingBy::Cec, "PKFINANFUNCIONARIO", "PKFINANFUNCIONARIO",
     nullptr,
     "PKFINANFUNCIONARIO int K; PKFUNCIONARIO int; PKFFUNCIONARIO int; PKFINANCEIRA int; "
     "PKFFINANCEIRA int; DTINICIOVIGENCIA date; TPCOMISSAO int; COMISSAO dec 15.3; EXCLUIDO int; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 29 TbServicoFuncionario
    {"DspServicoFuncionario", "TbServicoFuncionario", "TAB", TPendingBy::Cec, "PKSERVICOFUNCIONARIO", "PKSERVICOFUNCIONARIO",
     nullptr,
     "PKSERVICOFUNCIONARIO int K; PKFUNCIONARIO int; PKFFUNCIONARIO int; PKSERVICO int; PKFSERVICO int; "
     "DTINICIOVIGENCIA date; TPCOMISSAO int; COMISSAO dec 15.3; EXCLUIDO int; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 30 TbServicoOS
    {"DspServicoOS", "TbServicoOS", "TAB", TPendingBy::Cec, "PKSERVICOOS PKFILIAL", "PKSERVICOOS PKFILIAL", nullptr,
     "PKSERVICOOS int K; PKFILIAL int K; NMSERVICOOS str 60; VLSERVICOOS dec 15.3; PEALIQISS dec 15.3; "
     "EXCLUIDO small; CDCONTRATO str 20 K; PKFILIALDESTINO int K; SEGURO int; PEVALORSEGURO dec 15.3; "
     "COBERTURA str 1000"},
    // 31 TbAssistencia
    {"DspAssistencia", "TbAssistencia", "ASS", TPendingBy::Cec, "PKASSISTENCIA PKFILIAL", "PKASSISTENCIA PKFILIAL",
     nullptr,
     "PKASSISTENCIA int K; PKFILIAL int K; NMASSISTENCIA str 100; TPATIVO int; NRINSCRICAO str 20; "
     "TPSIMPLES int; NMCIDADE str 100; SGESTADO char 2; NMLOGRADOURO str 100; NMBAIRRO str 100; "
     "NMCOMPLEMENTO str 100; NRCEP str 10; NRTELEFONERES str 20; NRTELEFONECOM str 20; "
     "NRTELEFONECEL str 20; EMAIL str 100; DTCADASTRO date; NRCNPJ str 18; EXCLUIDO small; "
     "NRLOGRADOURO str 8; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 32 TbCarencia
    {"DspCarencia", "TbCarencia", "CAR", TPendingBy::Cec, "PKCARENCIA", "PKCARENCIA", nullptr,
     "PKCARENCIA int K; PKPHABIL int; PKFPHABIL int; NRMESCARENCIA int; NRMESRENOVACAO int; "
     "DTINICIOVIGENCIA date; EXCLUIDO int; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 33: query of its own
    {"DspQtdMinima", "TbQtdMinima", "QTD", TPendingBy::Marker, "", "PKPRODUTO PKFPRODUTO PKFILIAL", kTbQtdMinimaQuery,
     "PKPRODUTO int K; PKFPRODUTO int K; PKFILIAL int K; QTDMINIMA int; EXCLUIDO int; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 34 TbClassificacao
    {"DspClassificacao", "TbClassificacao", "CLA", TPendingBy::Cec, "PKCLASSIFICACAO", "PKCLASSIFICACAO", nullptr,
     "PKCLASSIFICACAO int K; PKOPERADORA int; NMCLASSIFICACAO str 100; EXCLUIDO int; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 35 TbCondicaoFinanceira
    {"DspCondicaoFinanceira", "TbCondicaoFinanceira", "CONDFINAN", TPendingBy::Cec, "PKCONDICAOFINANCEIRA PKFILIAL", "PKCONDICAOFINANCEIRA PKFILIAL",
     nullptr,
     "PKCONDICAOFINANCEIRA int K; PKFILIAL int K; PKCONDICAO int; PKFCONDICAO int; PKFINANCEIRA int; "
     "PKFFINANCEIRA int; DTINICIOVIGENCIA date; PEJURO dec 15.3; JUROSOBRETOT small; PEDESCONTO dec 15.3; "
     "DESCONTOSOBRETOT small; PERETENCAO dec 15.3; RETENCAOSOBRETOT small; EXCLUIDO small; "
     "PAGTOPARCIAL small; NRDIASUTEIS int; RECEBERETENCAOOPERADORA small; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 36 TbServicoOSFuncionario
    {"DspServicoOSFuncionario", "TbServicoOSFuncionario", "TAB", TPendingBy::Cec, "PKSERVICOOSFUNCIONARIO", "PKSERVICOOSFUNCIONARIO",
     nullptr,
     "PKSERVICOOSFUNCIONARIO int K; PKFUNCIONARIO int; PKFFUNCIONARIO int; PKSERVICOOS int; "
     "PKFSERVICOOS int; DTINICIOVIGENCIA date; TPCOMISSAO int; COMISSAO dec 15.3; EXCLUIDO int; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int F RO"},
    // 37 TbPlanoConta
    {"DspPlanoConta", "TbPlanoConta", "PLACON", TPendingBy::Cec, "PKPLANOCONTA PKFILIAL", "PKPLANOCONTA PKFILIAL",
     nullptr,
     "PKPLANOCONTA int K; PKFILIAL int K; CDCONTA str 20; NMCONTA str 100; PKHISTORICO int; "
     "PKFHISTORICO int; NIVEL_01 char 1; NIVEL_02 char 3; NIVEL_03 char 3; VISIVEL int; PROVISAO char 1; "
     "EFETIVACAO char 1; DISPONIVEL char 1; CONTAFIXA int; EXCLUIDO small; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 38 TbHistorico
    {"DspHistorico", "TbHistorico", "HIS", TPendingBy::Cec, "PKHISTORICO PKFILIAL", "PKHISTORICO PKFILIAL", nullptr,
     "PKHISTORICO int K; PKFILIAL int K; NMHISTORICO str 200; EXCLUIDO small; EXPORTADO int; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 39 TbAcao
    {"DspAcao", "TbAcao", "ACAO", TPendingBy::Cec, "PKACAO", "PKACAO", nullptr,
     "PKACAO int K; PKOPERADORA int R; NMACAO str 100; EXCLUIDO small; UTILIZAMARMINIMA small; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 40 TbEquipe
    {"DspEquipe", "TbEquipe", "EQ", TPendingBy::Cec, "PKEQUIPE PKFILIAL", "PKEQUIPE PKFILIAL", nullptr,
     "PKEQUIPE int K; PKFILIAL int K; NMEQUIPE str 100; EXCLUIDO small; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 41 TbItEquipe
    {"DspItEquipe", "TbItEquipe", "EQ", TPendingBy::Cec, "PKITEQUIPE PKFILIAL", "PKITEQUIPE PKFILIAL", nullptr,
     "PKITEQUIPE int K; PKFILIAL int K; PKEQUIPE int; PKFEQUIPE int; PKFUNCIONARIO int; "
     "PKFFUNCIONARIO int; DTINIVIGENCIA date; SUPERVISOR small; EXCLUIDO small; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 42 TbFunMoeda
    {"DspFunMoeda", "TbFunMoeda", "FUNM", TPendingBy::Cec, "PKFUNMOEDA PKFILIAL", "PKFUNMOEDA PKFILIAL", nullptr,
     "PKFUNMOEDA int K; PKFILIAL int K; PKMOEDA int; PKFUNCIONARIO int; PKFFUNCIONARIO int; "
     "DTINIVIGENCIA date; EXCLUIDO small; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 43 TbPacotedados
    {"DspPacoteDados", "TbPacotedados", "PAC", TPendingBy::Cec, "PKPACOTEDADOS", "PKPACOTEDADOS", nullptr,
     "PKPACOTEDADOS int K; PKOPERADORA int; NMPACOTEDADOS str 100; QTDADOS int; EXCLUIDO int; "
     "PKREMUNERACAOCOMISSAO int; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 44 TbFunCondTpPro
    {"DspFunCondTpPro", "TbFunCondTpPro", "FUNCONDTPPRO", TPendingBy::Cec, "PKFUNCONDTPPRO", "PKFUNCONDTPPRO", nullptr,
     "PKFUNCONDTPPRO int K; PKFUNCIONARIO int; PKFFUNCIONARIO int; PKCONDICAO int; PKFCONDICAO int; "
     "PKTPPRODUTO int; DTINICIOVIGENCIA date; TPCOMISSAO small; VLCOMISSAO dec 15.3; EXCLUIDO small; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 45 TbItTpEmpresa
    {"DspItTpEmpresa", "TbItTpEmpresa", "ITTPEMP", TPendingBy::Cec, "PKITTPEMPRESA PKFILIAL", "PKITTPEMPRESA PKFILIAL",
     nullptr,
     "PKITTPEMPRESA int K; PKFILIAL int K; PKTPEMPRESA int; DTINVIGENCIA date; PIS dec 15.3; "
     "COFINS dec 15.3; FLAGBENEFICIOICMS small; FLAGBENEFICIOPISCOFINS small; EXCLUIDO small; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K; PKCRTNFE int; PKMODBCICMS int; PKMODBCICMSST int"},
    // 46: query of its own
    {"DspPrecoSerial", "TbPrecoSerial", "PRECO", TPendingBy::LastKey, "", "PKPRECOSERIAL", kTbPrecoSerialQuery,
     "PKPRECOSERIAL int K; PKPROMOCAO int; PKPHABIL int; PKFPHABIL int; PKPRODUTO int; PKFPRODUTO int; "
     "VLVENDA dec 15.3; EXCLUIDO small; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 47 TbTpServico
    {"DspTpServico", "TbTpServico", "SER", TPendingBy::Cec, "PKTPSERVICO", "PKTPSERVICO", nullptr,
     "PKTPSERVICO int K; NMTPSERVICO str 50; EXCLUIDO small; CDCONTRATO str 20 K; PKFILIALDESTINO int K; "
     "CDOPERADORA str 20; NMOPERADORA str 100"},
    // 48 TbCiclo
    {"DspCiclo", "TbCiclo", "CICLO", TPendingBy::Cec, "PKCICLO", "PKCICLO", nullptr,
     "PKCICLO int K; PKOPERADORA int; DSCICLO str 100; EXCLUIDO int; DTAPCOMISSAOINI date; "
     "DTAPCOMISSAOFIM date; DTAPPRICEINI date; DTAPPRICEFIM date; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 49 TbLocalEstoque
    {"DspLocalEstoque", "TbLocalEstoque", "LOCALE", TPendingBy::Cec, "PKLOCALESTOQUE PKFILIAL", "PKLOCALESTOQUE PKFILIAL",
     nullptr,
     "PKLOCALESTOQUE int K; PKFILIAL int K; DSLOCALESTOQUE str 20; EXCLUIDO int; CDCONTRATO str 20 K; "
     "PKFILIALDESTINO int K"},
    // 50: rules add a second key
    {"DspContador", "TbContador", "CON", TPendingBy::Cec, "PKCONTADOR", "PKCONTADOR PKFILIAL", nullptr,
     "PKCONTADOR int K; PKFILIAL int K; NMCONTADOR str 100; NRCPF str 14; NRCRC str 10; NRCNPJ str 14; "
     "NRCEP str 9; NMLOGRADOURO str 100; NRLOGRADOURO str 10; SGESTADO str 10; DSCOMPLEMENTO str 100; "
     "NMBAIRRO str 100; NRTELEFONE str 20; NRTELEFONEFAX str 20; EMAIL str 100; NMMUNICIPIO str 100; "
     "CDMUNICIPIO int; EXCLUIDO int; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 51: rules add a second key
    {"DspOperacaoNfe", "TbOperacaoNfe", "OPER", TPendingBy::Cec, "PKOPERACAONFE", "PKOPERACAONFE PKFILIAL", nullptr,
     "PKOPERACAONFE int K; PKFILIAL int K; PKPISVENDA int; PKCOFINSVENDA int; PKIPIVENDA int; "
     "PKCSOSNVENDA int; PKICMSVENDA int; PKCFOPVENDA int; PKCFOPVENDAF int; PKPISVENDAST int; "
     "PKCOFINSVENDAST int; PKIPIVENDAST int; PKCSOSNVENDAST int; PKICMSVENDAST int; PKCFOPVENDAST int; "
     "PKCFOPVENDASTF int; PKPISDEVVENDA int; PKCOFINSDEVVENDA int; PKIPIDEVVENDA int; PKCSOSNDEVVENDA int; "
     "PKICMSDEVVENDA int; PKCFOPDEVVENDA int; PKCFOPDEVVENDAF int; PKPISDEVVENDAST int; "
     "PKCOFINSDEVVENDAST int; PKIPIDEVVENDAST int; PKCSOSNDEVVENDAST int; PKICMSDEVVENDAST int; "
     "PKCFOPDEVVENDAST int; PKCFOPDEVVENDASTF int; PKPISDEVCOMPRA int; PKCOFINSDEVCOMPRA int; "
     "PKIPIDEVCOMPRA int; PKCSOSNDEVCOMPRA int; PKICMSDEVCOMPRA int; PKCFOPDEVCOMPRA int; "
     "PKCFOPDEVCOMPRAF int; PKPISDEVCOMPRAST int; PKCOFINSDEVCOMPRAST int; PKIPIDEVCOMPRAST int; "
     "PKCSOSNDEVCOMPRAST int; PKICMSDEVCOMPRAST int; PKCFOPDEVCOMPRAST int; PKCFOPDEVCOMPRASTF int; "
     "PKPISTRANSF int; PKCOFINSTRANSF int; PKIPITRANSF int; PKCSOSNTRANSF int; PKICMSTRANSF int; "
     "PKCFOPTRANSF int; PKCFOPTRANSFF int; PKPISTRANSFST int; PKCOFINSTRANSFST int; PKIPITRANSFST int; "
     "PKCSOSNTRANSFST int; PKICMSTRANSFST int; PKCFOPTRANSFST int; PKCFOPTRANSFSTF int; PKPISCOMPRA int; "
     "PKCOFINSCOMPRA int; PKIPICOMPRA int; PKCSOSNCOMPRA int; PKICMSCOMPRA int; PKCFOPCOMPRA int; "
     "PKCFOPCOMPRAF int; PKPISCOMPRAST int; PKCOFINSCOMPRAST int; PKIPICOMPRAST int; PKCSOSNCOMPRAST int; "
     "PKICMSCOMPRAST int; PKCFOPCOMPRAST int; PKCFOPCOMPRASTF int; PKPISIMPTRANSF int; "
     "PKCOFINSIMPTRANSF int; PKIPIIMPTRANSF int; PKCSOSNIMPTRANSF int; PKICMSIMPTRANSF int; "
     "PKCFOPIMPTRANSF int; PKCFOPIMPTRANSFF int; PKPISIMPTRANSFST int; PKCOFINSIMPTRANSFST int; "
     "PKIPIIMPTRANSFST int; PKCSOSNIMPTRANSFST int; PKICMSIMPTRANSFST int; PKCFOPIMPTRANSFST int; "
     "PKCFOPIMPTRANSFSTF int; PKPRODUTO int; PKFPRODUTO int; PKTPOPERACAONFE int; PKFTPOPERACAONFE int; "
     "CDCONTRATO str 20 F; PKFILIALDESTINO int F; ICMS_VENDA int; ICMS_VENDA_ST int; ICMS_COMPRA int; "
     "ICMS_COMPRA_ST int; ICMS_DEVVENDA int; ICMS_DEVVENDA_ST int; ICMS_DEVCOMPRA int; "
     "ICMS_DEVCOMPRA_ST int; ICMS_TRANSF int; ICMS_TRANSF_ST int; ICMS_IMPTRANSF int; "
     "ICMS_IMPTRANSF_ST int; IPI_VENDA int; IPI_VENDAST int; COFINS_VENDA int; COFINS_VENDAST int; "
     "PIS_VENDA int; PIS_VENDAST int; IPI_COMPRA int; IPI_COMPRAST int; COFINS_COMPRA int; "
     "COFINS_COMPRAST int; PIS_COMPRA int; PIS_COMPRAST int; IPI_DEVVENDA int; IPI_DEVVENDAST int; "
     "COFINS_DEVVENDA int; COFINS_DEVVENDAST int; PIS_DEVVENDA int; PIS_DEVVENDAST int; IPI_DEVCOMPRA int; "
     "IPI_DEVCOMPRAST int; COFINS_DEVCOMPRA int; COFINS_DEVCOMPRAST int; PIS_DEVCOMPRA int; "
     "PIS_DEVCOMPRAST int; IPI_TRANS int; IPI_TRANSST int; COFINS_TRANS int; COFINS_TRANSST int; "
     "PIS_TRANS int; PIS_TRANSST int; IPI_IMPTRANS int; IPI_IMPTRANSST int; COFINS_IMPTRANS int; "
     "COFINS_IMPTRANSST int; PIS_IMPTRANS int; PIS_IMPTRANSST int; EXCLUIDO int; DTVIGENCIA date"},
    // 52: rules add a second key
    {"DspTpOperacaoNfe", "TbTpOperacaoNfe", "TPOPER", TPendingBy::Cec, "PKTPOPERACAONFE", "PKTPOPERACAONFE PKFILIAL",
     nullptr,
     "PKTPOPERACAONFE int K; PKFILIAL int K; NMTPOPERACAONFE str 100; EXCLUIDO small; CDCONTRATO str 20 F; "
     "PKFILIALDESTINO int F"},
    // 53: rules add a second key
    {"DspMvaNcm", "TbMvaNcm", "MVANCM", TPendingBy::Cec, "PKMVANCM", "PKMVANCM PKFILIAL", nullptr,
     "PKMVANCM int K; PKFILIAL int K; PKNCM int; PEMVAAJUSTADO dec 15.3; PRMVAORIGINAL dec 15.3; "
     "EXCLUIDO int; CDCONTRATO str 20 K; PKFILIALDESTINO int K; PEMVAAJUSTADODIFERENCIADO dec 15.3"},
    // 54 TBSeguradora
    {"DSPSeguradora", "TBSeguradora", "SEG", TPendingBy::Cec, "PKSEGURADORA", "PKSEGURADORA", nullptr,
     "PKSEGURADORA int K; NMSEGURADORA str 100; CNPJ str 14; SUSEP str 60; EXCLUIDO int; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K; SITE str 100; NRAPOLICE str 20"},
    // 55 tbTPVenda
    {"DSPTpVenda", "tbTPVenda", "SEG", TPendingBy::Cec, "PKTpVenda", "PKTPVENDA", nullptr,
     "PKTPVENDA int K; NMTPVENDA str 100; EXCLUIDO int; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 56 TbRemuneracaoRecarga
    {"DspRemuneracaoRecarga", "TbRemuneracaoRecarga", "UN", TPendingBy::Cec, "PKREMUNERACAORECARGA", "PKREMUNERACAORECARGA",
     nullptr,
     "PKREMUNERACAORECARGA int K; PKOPERADORA int; NMREMUNERACAORECARGA str 100; EXCLUIDO small; "
     "PKSERVICO int; PKFSERVICO int; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 57 TbTipoDeOferta
    {"DspTipoDeOferta", "TbTipoDeOferta", "TPOF", TPendingBy::Cec, "PKTIPODEOFERTA", "PKTIPODEOFERTA", nullptr,
     "PKTIPODEOFERTA int K; NMTIPODEOFERTA str 100; EXCLUIDO int; CDOPERADORA str 20; NMOPERADORA str 100; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 58: rules add a second key
    {"DspImpostoNCM", "TbImpostoNCM", "IMP", TPendingBy::Cec, "PKIMPOSTONCM", "PKIMPOSTONCM PKNCM", nullptr,
     "PKIMPOSTONCM int K; PKNCM int R; EXTIPI int; PENACIONAL dec 15.3; PEIMPORTADO dec 15.3; "
     "DTVIGENCIA date; CDCONTRATO str 20; PKFILIALDESTINO int"},
    // 59 TbClassificacaoClaro
    {"DspClassificacaoClaro", "TbClassificacaoClaro", "CCLAR", TPendingBy::Cec, "PKCLASSIFICACAOCLARO", "PKCLASSIFICACAOCLARO",
     nullptr,
     "PKCLASSIFICACAOCLARO int K; PKOPERADORA int; NMCLASSIFICACAOCLARO str 100; EXCLUIDO int; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 60: rules add a second key
    {"DspAdicionalRebate", "TbAdicionalRebate", "CCLAR", TPendingBy::Cec, "PKADICIONALREBATE", "PKADICIONALREBATE PKFILIAL",
     nullptr,
     "PKADICIONALREBATE int K; PKFILIAL int; VEZES int; PERCENTUAL dec 15.3; DTVIGENCIA date; "
     "EXCLUIDO int; CDCONTRATO str 20 K; PKFILIALDESTINO int K"},
    // 61 TbItRemuneracaoClaro
    {"DspItRemuneracaoClaro", "TbItRemuneracaoClaro", "CCLAR", TPendingBy::Cec, "PKITREMUNERACAOCLARO", "PKITREMUNERACAOCLARO",
     nullptr,
     "PKITREMUNERACAOCLARO int K; DTINICIOVIGENCIA date; VLCOMISSAO dec 15.3; VLCOMISSAOEXPRESS dec 15.3; "
     "EXCLUIDO small; PKREMUNERACAO int; PKCLASSIFICACAOCLARO int; PKREMUNERACAORECARGA int; "
     "PKOPERADORA int; CDCONTRATO str 20 K; PKFILIALDESTINO int K; VLCOMISSAOSEMFID dec 15.3; "
     "VLCOMISSAOEXPRESSSEMFID dec 15.3"},
    // 62: rules add a second key
    {"DspVigRemuneracaoClaro", "TbVigRemuneracaoClaro", "CCLAR", TPendingBy::Cec, "PKVIGREMUNERACAOCLARO", "PKVIGREMUNERACAOCLARO PKFILIAL",
     nullptr,
     "PKVIGREMUNERACAOCLARO int K; DTINICIOVIGENCIA date; PKCLASSIFICACAOCLARO int; EXCLUIDO int; "
     "CDCONTRATO str 20 K; PKFILIALDESTINO int K; PKFILIAL int"},
    // 63 TbItServicoClaro
    {"DspItServicoClaro", "TbItServicoClaro", "CCLAR", TPendingBy::Cec, "PKITSERVICOCLARO", "PKITSERVICOCLARO", nullptr,
     "PKITSERVICOCLARO int K; DTINICIOVIGENCIA date; VLCOMISSAO dec 15.3; EXCLUIDO small; PKSERVICO int; "
     "PKCLASSIFICACAOCLARO int; PKOPERADORA int; CDCONTRATO str 20 K; PKFILIALDESTINO int K; "
     "VLCOMISSAOSEMFID dec 15.3"},
};

QStringList Words(const char* text) { return QString::fromLatin1(text).split(u' ', Qt::SkipEmptyParts); }

QList<TCadastroMTable> BuildTables()
{
    QList<TCadastroMTable> tables;
    for (const TRawTable& raw : kTables) {
        TCadastroMTable t;
        t.ProviderName = QString::fromLatin1(raw.Provider);
        t.DataSetName = QString::fromLatin1(raw.DataSet);
        t.Alias = QString::fromLatin1(raw.Alias);
        t.PendingBy = raw.PendingBy;
        t.JoinColumns = Words(raw.JoinColumns);
        t.KeyColumns = Words(raw.KeyColumns);
        for (const char* const* line = raw.OwnQuery; line && *line; ++line)
            t.OwnQuery << QString::fromLatin1(*line);
        t.FieldList = QString::fromLatin1(raw.FieldList);
        tables.append(std::move(t));
    }
    return tables;
}

} // namespace

QString TCadastroMTable::MarkerTable() const
{
    return PendingBy == TPendingBy::Marker ? TableName() + QStringLiteral("BAIXADA") : QString();
}

QStringList TCadastroMTable::MarkerColumns() const
{
    if (PendingBy != TPendingBy::Marker)
        return {};
    QStringList columns = KeyColumns;
    if (!columns.contains(QStringLiteral("PKFILIAL")))
        columns << QStringLiteral("PKFILIAL");
    return columns;
}

const QList<TCadastroMTable>& CadastroMTables()
{
    static const QList<TCadastroMTable> tables = BuildTables();
    return tables;
}

QString CadastroMCommandText(const TCadastroMTable& t)
{
    if (!t.OwnQuery.isEmpty())
        return JoinLines(t.OwnQuery);
    if (t.JoinColumns.isEmpty() || t.JoinColumns.size() > 2)
        throw EDatabaseError(QStringLiteral("%1: the standard query needs one or two join columns").arg(t.DataSetName));

    // The standard pattern: every column of the table, the configured company's
    // contract and the destination of each tracking row.
    const QString table = t.TableName();
    const QString& a = t.Alias;
    const QString& first = t.JoinColumns[0];
    QStringList lines{
        QStringLiteral("SELECT ") + a + QStringLiteral(".*,"),
        QStringLiteral("  (SELECT CDCONTRATO FROM TBEMPRESA WHERE PKEMPRESA = :PPKEMPRESA) AS CDCONTRATO,"),
        QStringLiteral("  CEC.PKFILIAL AS PKFILIALDESTINO"),
        QStringLiteral("FROM ") + table + u' ' + a,
        QStringLiteral("INNER JOIN TBCEC CEC "),
        QStringLiteral("ON (   ") + a + u'.' + first + QStringLiteral(" = CEC.PKTABELA"),
    };
    if (t.JoinColumns.size() == 2)
        lines << QStringLiteral("   AND ") + a + u'.' + t.JoinColumns[1] + QStringLiteral(" = CEC.PKTABELA2");
    lines.last() += u')';
    lines << QStringLiteral("WHERE CEC.NMTABELA =  '") + table + u'\''
          << QStringLiteral("ORDER BY ") + first;
    return JoinLines(lines);
}

QList<TCatalogueEntry> CadastroMCatalogue()
{
    QList<TCatalogueEntry> entries;
    for (const TCadastroMTable& t : CadastroMTables())
        entries.append(TCatalogueEntry{t.ProviderName, t.TableName(), CadastroMCommandText(t), t.FieldList});
    return entries;
}

// --- the data module ---------------------------------------------------------

TFDM_CadastroM::TFDM_CadastroM(TSQLConnection* sqlCAgente)
{
    DataModuleCreate();
    SetSQLConnection(sqlCAgente);
}

TFDM_CadastroM::~TFDM_CadastroM() = default;

void TFDM_CadastroM::DataModuleCreate()
{
    // K in these lists means key flags and required.
    m_module = std::make_unique<TProviderModule>(CadastroMCatalogue(), /*keyImpliesRequired=*/true);
    m_providers.clear();
    for (int i = 0; i < m_module->ProviderCount(); ++i)
        m_providers.append(m_module->GetProvider(i));
}

void TFDM_CadastroM::SetSQLConnection(TSQLConnection* sqlCAgente) { m_module->SetSQLConnection(sqlCAgente); }

int TFDM_CadastroM::ProviderCount() const { return int(m_providers.size()); }

TProvider TFDM_CadastroM::GetProvider(int index) const
{
    if (index < 0 || index >= m_providers.size())
        throw EDatabaseError(
            QStringLiteral("Provider index %1 out of range (0 to %2)").arg(index).arg(m_providers.size() - 1));
    return m_providers[index];
}

TLocalConnection& TFDM_CadastroM::LcAgente() { return m_module->LcAgente(); }

const TCadastroMTable& TFDM_CadastroM::Table(int index) const
{
    if (index < 0 || index >= m_providers.size())
        throw EDatabaseError(
            QStringLiteral("Provider index %1 out of range (0 to %2)").arg(index).arg(m_providers.size() - 1));
    return CadastroMTables()[index];
}
